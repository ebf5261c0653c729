#include "platform/Process.h"

#include "platform/WinText.h"

namespace {

// How long Kill waits for a terminated process to be gone.
constexpr DWORD KTerminateWaitMs = 5000;

void SetError(std::string *error, const std::string &text) {
  if (error)
    *error = text;
}

} // namespace

TProcess::~TProcess() { Kill(); }

bool TProcess::Start(const std::string &program, const std::string &workingFolder, std::string *error) {
  if (!ReapIfExited()) {
    SetError(error, "a process is already running");
    return false;
  }
  // The quoted path and no arguments; CreateProcessW may write into it.
  std::wstring commandLine = L"\"" + WideFromAnsi(program) + L"\" ";
  const std::wstring folder = WideFromAnsi(workingFolder);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                      &info)) {
    SetError(error, program + ": " + AnsiFromWide(SystemMessage(GetLastError())));
    return false;
  }
  CloseHandle(info.hThread);
  FProcess = info.hProcess;
  FPid = static_cast<pid_t>(info.dwProcessId);
  return true;
}

bool TProcess::ReapIfExited() {
  if (FProcess == nullptr)
    return true;
  if (WaitForSingleObject(FProcess, 0) == WAIT_TIMEOUT)
    return false;
  CloseHandle(FProcess);
  FProcess = nullptr;
  FPid = -1;
  return true;
}

void TProcess::Kill() {
  if (ReapIfExited())
    return;
  // The handle keeps the process id from being reused while we hold it.
  TerminateProcess(FProcess, 0);
  WaitForSingleObject(FProcess, KTerminateWaitMs);
  CloseHandle(FProcess);
  FProcess = nullptr;
  FPid = -1;
}
