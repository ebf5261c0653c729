// NextToken over a NUL-separated list, as the port discovery reads the
// system's device table: from position 1 on, the items joined by NULs give
// the list again (less the NUL that closes it), each step moves forward, and
// past the end the item is empty and the position stays.
//
// Input: the list's bytes.

#include "serial/COMUtils.h"

#include "FuzzCheck.h"

#include <stdexcept>
#include <string>

namespace {

void CheckRangeError(const std::string &list)
{
  int position = 0;
  try {
    NextToken(list, position);
  } catch (const std::out_of_range &) {
    Check(position == 0, "a refused position stays as it was");
    return;
  }
  Check(false, "position 0 is refused");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const std::string list(reinterpret_cast<const char *>(data), size);
  std::string joined;
  int position = 1;
  while (size_t(position) <= list.size()) {
    const int before = position;
    const std::string item = NextToken(list, position);
    Check(position > before, "each item moves the position forward");
    Check(item.find('\0') == std::string::npos, "an item holds no NUL");
    joined += (before == 1 ? "" : std::string(1, '\0')) + item;
  }
  const int end = position;
  Check(NextToken(list, position).empty() && position == end, "past the end the item is empty and the position stays");

  const bool closed = !list.empty() && list.back() == '\0';
  Check(joined == list.substr(0, list.size() - (closed ? 1 : 0)), "the items joined by NULs give the list");
  CheckRangeError(list);
  return 0;
}
