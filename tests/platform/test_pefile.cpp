// Telling a Windows executable from other files by its headers.

#include "platform/PeFile.h"
#include "platform/PrivateTempFolder.h"

#include <doctest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A DOS header that names `offset` as the PE header's place, padded to 0x40.
std::string DosHeader(unsigned offset) {
  std::string header(0x40, '\0');
  header[0] = 'M';
  header[1] = 'Z';
  for (int i = 0; i < 4; ++i)
    header[0x3C + i] = static_cast<char>(offset >> (8 * i) & 0xFF);
  return header;
}

const std::string KSignature("PE\0\0", 4);

struct TCase {
  const char *name;
  std::string contents; // written to a file; unused when `path` is given
  std::string path;
  bool isWindows;
};

} // namespace

TEST_CASE("a Windows executable is told by its MZ header and PE signature") {
  std::vector<TCase> cases = {
      {"PE header right after the DOS header", DosHeader(0x40) + KSignature + std::string(20, '\0'), "", true},
      {"PE header at the very end", DosHeader(0x80) + std::string(0x40, 'x') + KSignature, "", true},
      {"MZ without a PE signature", DosHeader(0x40) + std::string("NE\0\0", 4) + std::string(20, '\0'), "", false},
      {"PE offset beyond the end", DosHeader(0x1000) + KSignature, "", false},
      {"signature cut off by the end", DosHeader(0x40) + "PE", "", false},
      {"huge PE offset", DosHeader(0xFFFFFFFFu) + KSignature, "", false},
      {"PE signature without MZ", "ZM" + DosHeader(0x40).substr(2) + KSignature, "", false},
      {"script", "#!/bin/sh\nexec sleep 30\n", "", false},
      {"empty file", "", "", false},
      {"one byte", "M", "", false},
      {"MZ only", "MZ", "", false},
      {"missing file", "", "/nonexistent/tandrel-setup.exe", false},
      // Built by this build: a mingw-built .exe in the cross build, an ELF
      // binary natively.
      {"this build's program", "", TANDREL_TEST_CHILD, TANDREL_TEST_CHILD_IS_PE != 0},
  };
  if (std::string(TANDREL_TEST_OTHER_BINARY).size() > 0)
    cases.push_back({"the other system's program", "", TANDREL_TEST_OTHER_BINARY, TANDREL_TEST_CHILD_IS_PE == 0});

  const fs::path folder = fs::path(PrivateTempFolder(nullptr)) / ("tandrel-test-pe-" + std::to_string(std::random_device{}()));
  REQUIRE(fs::create_directory(folder));
  int index = 0;
  for (const TCase &test : cases) {
    CAPTURE(test.name);
    std::string path = test.path;
    if (path.empty()) {
      path = (folder / std::to_string(index++)).string();
      std::ofstream(path, std::ios::binary) << test.contents;
    }
    CHECK(IsWindowsExecutable(path) == test.isWindows);
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}
