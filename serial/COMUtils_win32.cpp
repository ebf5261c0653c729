// Serial port backend for Windows: a file handle opened through the device
// namespace, synchronous I/O.

#include "serial/COMUtils.h"

#include "platform/WinText.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD KQueueSize = 2048;
constexpr DWORD KPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// A write returns after this long with what the driver took: the relay keeps
// the rest pending instead of stalling until a slow line has sent it all.
constexpr DWORD KWriteTimeoutMs = 1;
// Grace time for the drain on close, on top of what the queued bytes need.
constexpr milliseconds KDrainGrace{1000};
constexpr milliseconds KDrainPollInterval{5};
constexpr int64_t KBitsPerByte = 10; // 8N1: start, 8 data, stop

// The one place where a Windows error becomes the caller's vocabulary. A
// port in use elsewhere is refused as access denied.
TSerialError::TKind KindOf(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_HANDLE:
  case ERROR_BAD_COMMAND:
  case ERROR_GEN_FAILURE:
  case ERROR_DEVICE_REMOVED:
  case ERROR_DEVICE_NOT_CONNECTED:
  case ERROR_NOT_READY:
  case ERROR_OPERATION_ABORTED:
  case ERROR_INVALID_FUNCTION:
    return TSerialError::TKind::Gone;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
    return TSerialError::TKind::Busy;
  default:
    return TSerialError::TKind::Other;
  }
}

void Report(TSerialError *error, DWORD code) {
  if (error)
    *error = TSerialError{KindOf(code), AnsiFromWide(SystemMessage(code))};
}

void ReportOpenFailure(TSerialError *error, DWORD code) {
  Report(error, code);
  if (error && error->kind == TSerialError::TKind::Busy)
    error->text += AnsiFromWide(L" (порт уже используется)");
}

bool FailOpen(TCOMHandle &handle, DWORD code, TSerialError *error) {
  ReportOpenFailure(error, code);
  CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
  return false;
}

// Reads return at once with what is queued; writes return at once with what
// the driver took.
bool SetNonWaitingTimeouts(TCOMHandle h) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutConstant = KWriteTimeoutMs;
  return SetCommTimeouts(h, &timeouts) != 0;
}

bool QueryStatus(TCOMHandle h, COMSTAT &status) {
  DWORD errors = 0;
  return ClearCommError(h, &errors, &status) != 0;
}

DWORD QueuedOutput(TCOMHandle h) {
  COMSTAT status{};
  return QueryStatus(h, status) ? status.cbOutQue : 0;
}

milliseconds TimeToSend(DWORD bytes, int32_t baudRate) {
  if (baudRate <= 0)
    return milliseconds{0};
  return milliseconds{int64_t(bytes) * KBitsPerByte * 1000 / baudRate};
}

// Waits until the queued output is sent, but never for ever: what a line held
// by flow control still has queued is thrown away, so that FlushFileBuffers
// returns.
void DrainOutput(TCOMHandle h) {
  const DWORD queued = QueuedOutput(h);
  if (queued == 0)
    return;
  const auto deadline = Clock::now() + KDrainGrace + TimeToSend(queued, GetCOMSpeed(h));
  while (QueuedOutput(h) > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(KDrainPollInterval);
  if (QueuedOutput(h) > 0)
    PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
}

} // namespace

// 8N1 at the caller's speed, binary, no flow control of any kind and no
// character replacement, whatever the driver held before: a port left in
// handshake by another program would otherwise stall or alter the relayed
// bytes. DTR goes low and RTS high, as the open sets them once more after.
bool ConfigureCOM(TCOMHandle h, int32_t baudRate) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb))
    return false;
  dcb.BaudRate = static_cast<DWORD>(baudRate);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
  return SetCommState(h, &dcb) != 0;
}

bool OpenCOM(const std::string &name, int32_t baudRate, TCOMHandle &handle, TSerialError *error) {
  handle = INVALID_HANDLE_VALUE;
  if (error)
    *error = {};
  // The device namespace opens COM10 and above as well.
  const std::wstring path = L"\\\\.\\" + WideFromAnsi(name);
  handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    ReportOpenFailure(error, GetLastError());
    return false;
  }
  if (!ConfigureCOM(handle, baudRate) || !SetupComm(handle, KQueueSize, KQueueSize) ||
      !SetNonWaitingTimeouts(handle) || !PurgeComm(handle, KPurgeAll))
    return FailOpen(handle, GetLastError(), error);
  // Lines a driver cannot drive do not matter.
  EscapeCommFunction(handle, CLRDTR);
  EscapeCommFunction(handle, SETRTS);
  return true;
}

bool CloseCOM(TCOMHandle &handle) {
  if (handle == INVALID_HANDLE_VALUE)
    return true;
  DrainOutput(handle);
  FlushFileBuffers(handle);
  // A handle whose close failed is of no further use: the variable must not
  // keep it as if the port were open.
  const bool closed = CloseHandle(handle) != 0;
  handle = INVALID_HANDLE_VALUE;
  return closed;
}

int32_t ReadCOM(TCOMHandle h, void *buffer, int32_t capacity, TSerialError *error) {
  if (buffer == nullptr || capacity <= 0)
    return 0;
  COMSTAT status{};
  if (!QueryStatus(h, status)) {
    Report(error, GetLastError());
    return 0;
  }
  if (status.cbInQue == 0)
    return 0;
  const DWORD wanted = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(capacity));
  DWORD count = 0;
  if (!ReadFile(h, buffer, wanted, &count, nullptr) && count == 0) {
    Report(error, GetLastError());
    return -1;
  }
  return static_cast<int32_t>(count);
}

int32_t WriteCOM(TCOMHandle h, const void *buffer, int32_t count, TSerialError *error) {
  if (buffer == nullptr || count <= 0)
    return 0;
  // A write that timed out succeeds with what the driver took, possibly
  // nothing: back-pressure, not a failure.
  DWORD taken = 0;
  if (!WriteFile(h, buffer, static_cast<DWORD>(count), &taken, nullptr) && taken == 0) {
    Report(error, GetLastError());
    return -1;
  }
  return static_cast<int32_t>(taken);
}

bool QueryCOMQueues(TCOMHandle h, TCOMQueues &queues) {
  COMSTAT status{};
  if (!QueryStatus(h, status))
    return false;
  queues = {status.cbInQue, status.cbOutQue};
  return true;
}

// Output already queued stays: the close that follows drains it, so the
// device still gets the last relayed bytes.
void CancelCOMIo(TCOMHandle h) { CancelIo(h); }

bool SetCOMSpeed(TCOMHandle h, int32_t baudRate) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (baudRate <= 0 || !GetCommState(h, &dcb))
    return false;
  dcb.BaudRate = static_cast<DWORD>(baudRate);
  return SetCommState(h, &dcb) != 0;
}

int32_t GetCOMSpeed(TCOMHandle h) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  return GetCommState(h, &dcb) ? static_cast<int32_t>(dcb.BaudRate) : 0;
}
