#include "platform/PeFile.h"

#include <cstdint>
#include <fstream>

namespace {

constexpr std::streamoff KNewHeaderOffset = 0x3C; // e_lfanew in the DOS header

} // namespace

bool IsWindowsExecutable(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    return false;
  unsigned char dos[KNewHeaderOffset + 4];
  if (!file.read(reinterpret_cast<char *>(dos), sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
    return false;
  const std::uint32_t offset = std::uint32_t(dos[KNewHeaderOffset]) | std::uint32_t(dos[KNewHeaderOffset + 1]) << 8 |
                               std::uint32_t(dos[KNewHeaderOffset + 2]) << 16 |
                               std::uint32_t(dos[KNewHeaderOffset + 3]) << 24;
  char signature[4] = {};
  // A seek past the end succeeds; the read then fails: outside the file.
  return file.seekg(offset) && file.read(signature, sizeof signature) && signature[0] == 'P' &&
         signature[1] == 'E' && signature[2] == '\0' && signature[3] == '\0';
}
