#!/usr/bin/env bash
# Builds Qt for 64-bit Windows (Core, Gui, Widgets, Network and the windows
# platform plugin, shared) from Debian 12's own qt6-base source package with
# the mingw-w64 cross compiler, and installs it into a cache folder outside
# the clone. The folder is named by the Qt version and a hash of the recipe
# (the configure options, the patches in scripts/qt-windows/ and the
# compiler settings), and a later run reuses it while the recipe matches.
#
#   scripts/qt-windows.sh            build unless the cache already holds it
#   scripts/qt-windows.sh --prefix   print the folder, build nothing
#
# TANDREL_CACHE_DIR names the cache (default ~/.cache/tandrel). The host tools
# (moc, rcc, uic) are Debian's own Qt of the same version.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

host_qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null || true)
if [ -z "$host_qt_version" ]; then
  echo "qt-windows: Debian's qt6-base-dev-tools is not installed (scripts/deps.sh installs it)" >&2
  exit 1
fi
qt_version=${host_qt_version%%+*}

options=(
  -GNinja
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQT_BUILD_EXAMPLES=OFF
  -DQT_BUILD_TESTS=OFF
  -DFEATURE_sql=OFF
  -DFEATURE_printsupport=OFF
  -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF
  -DFEATURE_dbus=OFF
  -DFEATURE_testlib=OFF
  -DINPUT_opengl=no
  -DFEATURE_opengl=OFF
  -DFEATURE_vulkan=OFF
  -DINPUT_openssl=no
  -DFEATURE_openssl=OFF
  -DFEATURE_icu=OFF
  -DFEATURE_direct2d=OFF
  -DFEATURE_jpeg=OFF
  -DFEATURE_tuiotouch=OFF
  -DFEATURE_zstd=OFF
  -DFEATURE_system_zlib=OFF
  -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_freetype=OFF
  -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_png=OFF
  -DFEATURE_system_doubleconversion=OFF
)
patches=("$root"/scripts/qt-windows/*.patch)
toolchain=$root/cmake/mingw-w64-compilers.cmake

recipe_hash=$({
  printf '%s\n' "$host_qt_version" "${options[@]}"
  cat "${patches[@]}" "$toolchain"
} | sha256sum | cut -c1-12)
cache=${TANDREL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tandrel}
prefix=$cache/qt-$qt_version-mingw-$recipe_hash

if [ "${1:-}" = --prefix ]; then
  echo "$prefix"
  exit 0
fi
[ -f "$prefix/.complete" ] && exit 0

mkdir -p "$cache"
# One build at a time per cache; a second caller waits and then finds it done.
exec 9>"$cache/qt-windows.lock"
flock 9
[ -f "$prefix/.complete" ] && exit 0

work=$cache/qt-$qt_version-mingw-$recipe_hash.work
rm -rf "$work" "$prefix"
mkdir -p "$work/apt/lists/partial"
log=$work/build.log
echo "qt-windows: building Qt $qt_version for Windows into $prefix (about 20 minutes on two cores; log: $log)"

# Debian's source package through a private sources list: the machine's apt
# configuration is left as it is.
cat >"$work/apt/sources.list" <<EOF
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
EOF
apt_options=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o APT::Sandbox::User=root)
(
  cd "$work"
  apt-get "${apt_options[@]}" update -qq
  # The exact version of the host tools, else bookworm's current one of the
  # same Qt release.
  apt-get "${apt_options[@]}" source --download-only "qt6-base=$host_qt_version" ||
    apt-get "${apt_options[@]}" source --download-only qt6-base
  dpkg-source --no-check -x qt6-base_*.dsc source
) >>"$log" 2>&1 || {
  echo "qt-windows: fetching Debian's qt6-base source failed:" >&2
  tail -n 20 "$log" >&2
  exit 1
}
source_version=$(sed -n 's/^Version: //p' "$work"/qt6-base_*.dsc)
if [ "${source_version%%+*}" != "$qt_version" ]; then
  echo "qt-windows: Debian offers qt6-base $source_version, the host tools are $host_qt_version" >&2
  exit 1
fi

for patch in "${patches[@]}"; do
  patch -d "$work/source" -p1 --forward --quiet <"$patch" >>"$log" 2>&1 || {
    echo "qt-windows: $(basename "$patch") does not apply to qt6-base $source_version" >&2
    exit 1
  }
done

started=$SECONDS
if ! {
  cmake -S "$work/source" -B "$work/build" "${options[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" &&
    cmake --build "$work/build" -j"$(nproc)" &&
    cmake --install "$work/build"
} >>"$log" 2>&1; then
  echo "qt-windows: the build failed; the end of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
fi

# What the DLLs are under and where they came from travel with them.
mkdir -p "$prefix/licenses"
cp "$work/source/LICENSES/LGPL-3.0-only.txt" "$work/source/LICENSES/GPL-3.0-only.txt" \
  "$work/source/LICENSES/GPL-2.0-only.txt" "$prefix/licenses/"
{
  echo "Qt $qt_version (Core, Gui, Widgets, Network, the windows platform plugin and the"
  echo "windowsvista style), built from Debian 12's source package qt6-base $source_version"
  echo "(http://deb.debian.org/debian, pool/main/q/qt6-base/) with Debian's own patches applied"
  echo "and these patches of ours for the mingw-w64 cross build:"
  for patch in "${patches[@]}"; do
    echo "  $(basename "$patch"): $(sed -n '1p' "$patch")"
  done
  echo "Configured with:"
  printf '  %s\n' "${options[@]}"
  echo "Qt is licensed under the GNU Lesser General Public License version 3 (LGPL-3.0-only.txt);"
  echo "the source package and the patches above are all that is needed to build these DLLs again."
} >"$prefix/licenses/QT-SOURCE.txt"
cp "${patches[@]}" "$prefix/licenses/"

touch "$prefix/.complete"
rm -rf "$work"
echo "qt-windows: done in $(((SECONDS - started) / 60)) min: $prefix"
