#pragma once
// Serial port access and port discovery. Plain C++ over the OS API: the
// backends live beside this header, one file per OS.
//
// Results instead of exceptions: true/false, byte counts, 0 for nothing or a
// failed call, -1 for a failed read or write; where the caller asks, a
// TSerialError says what went wrong. Only OpenCOM and CloseCOM change a handle
// variable.

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <functional>
#include <windows.h>
using TCOMHandle = HANDLE; // INVALID_HANDLE_VALUE comes from <windows.h>
#else
using TCOMHandle = int; // a file descriptor
constexpr TCOMHandle INVALID_HANDLE_VALUE = -1;
#endif

// What went wrong with a port, mapped once from the system's error by each
// backend: the kind the caller acts on, and the system's own text for the
// log and the user (local 8-bit).
struct TSerialError {
  enum class TKind {
    None,
    Gone,   // the port is not there (never was, or was pulled)
    Busy,   // another program (or this one) has it open
    Denied, // this user may not open it
    Other,
  };
  TKind kind = TKind::None;
  std::string text;
  explicit operator bool() const { return kind != TKind::None; }
};

// Raw line, 8N1, the given speed (any rate), no software or hardware flow
// control whatever the port had before.
bool ConfigureCOM(TCOMHandle h, int32_t baudRate);
// Opens `name` (a device path) exclusively, configures it, purges both
// queues, drops DTR and raises RTS. On failure `handle` is
// INVALID_HANDLE_VALUE and `error` (if given) tells why.
bool OpenCOM(const std::string &name, int32_t baudRate, TCOMHandle &handle, TSerialError *error = nullptr);
// Drains the output within a bounded time, then closes. The variable is
// INVALID_HANDLE_VALUE afterwards; true for an already closed variable.
bool CloseCOM(TCOMHandle &handle);
// Bytes already queued, at most `capacity`; 0 when none, also when the port
// cannot be queried (then `error`, if given, says so: a pulled port is Gone);
// -1 when the read itself fails.
int32_t ReadCOM(TCOMHandle h, void *buffer, int32_t capacity, TSerialError *error = nullptr);
// What ReadCOM gives into a 32768-byte buffer, NUL bytes turned into spaces.
std::string ReadCOMString(TCOMHandle h);
// Never waits: the bytes the driver took now (0 when its queue is full; the
// caller keeps the rest pending), or -1 when the port itself failed (gone,
// hung up, not open; `error`, if given, says which).
int32_t WriteCOM(TCOMHandle h, const void *buffer, int32_t count, TSerialError *error = nullptr);
// Writes all of `s` (AT commands, the hang-up), waiting a short bounded time
// for room: its length, or 0 when it could not be completed.
int32_t WriteCOMString(TCOMHandle h, const std::string &s);
// What the driver holds of a port: bytes received and not yet read, bytes
// written and not yet sent.
struct TCOMQueues {
  uint32_t input = 0;
  uint32_t output = 0;
};
// False when the port cannot be queried (not open, gone).
bool QueryCOMQueues(TCOMHandle h, TCOMQueues &queues);
// Cancels I/O the calling thread left pending on the port (none where I/O is
// synchronous); output already queued stays for the close to drain.
void CancelCOMIo(TCOMHandle h);

// Line speed in bits per second through the OS's arbitrary-rate interface.
bool SetCOMSpeed(TCOMHandle h, int32_t baudRate);
// The output speed the line is set to; 0 when it cannot be read.
int32_t GetCOMSpeed(TCOMHandle h);

// Discovery.

// Item of a NUL-separated list starting at the 1-based `position`, which moves
// past the item's NUL. Empty (and `position` unchanged) past the end.
// Throws std::out_of_range for a position below 1.
std::string NextToken(const std::string &list, int &position);

// Where discovery looks; tests pass a fake tree.
#ifdef _WIN32
// QueryDosDeviceW with no device name: the MS-DOS device table into `buffer`
// of `size` characters.
DWORD QueryDosDeviceTable(wchar_t *buffer, DWORD size);
struct TPortSystem {
  std::function<DWORD(wchar_t *buffer, DWORD size)> queryDosDevices = QueryDosDeviceTable; // tests give a fake
  static TPortSystem FromEnvironment(); // the system's own device table
};
#else
struct TPortSystem {
  std::string sysfsRoot = "/sys";
  std::string devRoot = "/dev";
  std::string extraPorts; // colon-separated paths (TANDREL_EXTRA_PORTS)
  static TPortSystem
  FromEnvironment(); // the real system plus $TANDREL_EXTRA_PORTS
};
#endif

// Device paths of the present serial ports: hardware first (by name), each
// followed by the stable links udev made for it in /dev/serial/by-id, then the
// extra ports that exist, in their given order; no duplicates (Windows: the
// MS-DOS device names that begin with "COM", in the table's order). Throws
// std::runtime_error with the system's message when the device table cannot
// be read.
void ListDosDevices(std::vector<std::string> &list, const TPortSystem &system);

// A present port and what the system knows of the adapter behind it.
struct TPortEntry {
  std::string path;        // what OpenCOM opens
  std::string description; // e.g. "FTDI FT232R USB UART, serial A5XK3RJT"
  bool operator==(const TPortEntry &) const = default;
};
// The ports of ListDosDevices, in its order, with their descriptions. Throws
// as ListDosDevices.
void ListPorts(std::vector<TPortEntry> &list, const TPortSystem &system);
// The port to offer when none is stored: the first USB adapter, which is what
// a field engineer plugs in for the device (its path a ttyUSB or ttyACM
// device, or its description naming USB, as Windows' friendly names of USB
// serial adapters do), else the first port; -1 for an empty list.
int PreferredPortIndex(const std::vector<TPortEntry> &ports);
// One "%d: %s" line per present port: its index and its description followed
// by its path in parentheses.
void ListPortFriendlyNames(std::vector<std::string> &list,
                           const TPortSystem &system);
// True when `name` equals, ignoring case, the whole path of a present port
// (Windows: the whole name in a friendly name's parentheses, "(COM3)").
bool IsPortPresent(const std::string &name, const TPortSystem &system);
