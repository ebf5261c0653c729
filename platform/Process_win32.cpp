#include "platform/Process.h"

#include "platform/WinText.h"

namespace {

// How long Stop waits for a terminated process to be gone.
constexpr DWORD KTerminateWaitMs = 5000;

void SetError(std::string *error, DWORD code) {
  if (error)
    *error = AnsiFromWide(SystemMessage(code));
}

// A job that ends everything in it when its last handle closes, so the
// program's processes end with this one even if it dies.
HANDLE NewJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr)
    return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    const DWORD error = GetLastError();
    CloseHandle(job);
    SetLastError(error);
    return nullptr;
  }
  return job;
}

} // namespace

bool NeedsWine(const std::string &) { return false; }

void EndProcessesNaming(const std::string &) {}

TProcess::~TProcess() { Stop(); }

bool TProcess::Start(const std::string &program, const std::string &workingFolder, std::string *error,
                     const TInterpreter *through) {
  if (FProcess != nullptr || through != nullptr) {
    if (error)
      *error = through ? "no interpreter is needed on Windows" : "a process is already running";
    return false;
  }
  HANDLE job = NewJob();
  if (job == nullptr) {
    SetError(error, GetLastError());
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
  // Suspended until it is in the job, so nothing it starts escapes.
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, folder.c_str(),
                      &startup, &info)) {
    SetError(error, GetLastError());
    CloseHandle(job);
    return false;
  }
  if (!AssignProcessToJobObject(job, info.hProcess)) {
    SetError(error, GetLastError());
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, KTerminateWaitMs);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    CloseHandle(job);
    return false;
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  FProcess = info.hProcess;
  FJob = job;
  FPid = static_cast<pid_t>(info.dwProcessId);
  return true;
}

bool TProcess::HasEnded(TProcessEnd *end) const {
  if (FProcess == nullptr || WaitForSingleObject(FProcess, 0) != WAIT_OBJECT_0)
    return false;
  DWORD code = 0;
  GetExitCodeProcess(FProcess, &code);
  if (end)
    *end = TProcessEnd{false, static_cast<int>(code)};
  return true;
}

void TProcess::Stop() {
  if (FProcess == nullptr)
    return;
  // The handle keeps the process id from being reused while we hold it.
  TerminateJobObject(FJob, 0);
  WaitForSingleObject(FProcess, KTerminateWaitMs);
  CloseHandle(FProcess);
  CloseHandle(FJob);
  FProcess = nullptr;
  FJob = nullptr;
  FPid = -1;
}
