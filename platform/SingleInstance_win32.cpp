#include "platform/SingleInstance.h"

#include "platform/WinText.h"

namespace {

// The running instance's main window carries a property named after the
// window class: a Qt window's class name is Qt's own.
std::wstring WindowMark(const std::string &className) { return WideFromAnsi(className); }

struct TWindowSearch {
  std::wstring mark;
  HWND found = nullptr;
};

BOOL CALLBACK FindMarkedWindow(HWND window, LPARAM parameter) {
  auto *search = reinterpret_cast<TWindowSearch *>(parameter);
  if (GetPropW(window, search->mark.c_str()) == nullptr)
    return TRUE;
  search->found = window;
  return FALSE;
}

} // namespace

TSingleInstanceLock::~TSingleInstanceLock() {
  if (FMutex)
    CloseHandle(FMutex);
}

TSingleInstanceLock::TResult TSingleInstanceLock::Acquire(const std::string &, const std::string &className,
                                                          const std::string &) {
  const std::wstring name = L"Local\\" + WideFromAnsi(className);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (mutex == nullptr)
    return GetLastError() == ERROR_ACCESS_DENIED ? TResult::HeldByAnother : TResult::Failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return TResult::HeldByAnother;
  }
  FMutex = mutex;
  FClassName = className;
  return TResult::Acquired;
}

void TSingleInstanceLock::PublishWindow(std::uintptr_t nativeWindow) {
  if (FMutex)
    SetPropW(reinterpret_cast<HWND>(nativeWindow), WindowMark(FClassName).c_str(), reinterpret_cast<HANDLE>(1));
}

bool BringRunningInstanceForward(const std::string &className) {
  TWindowSearch search{WindowMark(className)};
  EnumWindows(FindMarkedWindow, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr)
    return false;
  if (IsIconic(search.found))
    ShowWindow(search.found, SW_RESTORE);
  SetForegroundWindow(search.found);
  return true;
}

std::string CurrentDisplayName() { return "console"; }
