// A second start brings the running instance's main window forward: the
// window that instance published, found by its mark.

#include "platform/PrivateTempFolder.h"
#include "platform/SingleInstance.h"

#include <doctest.h>

#include <windows.h>

#include <random>

namespace {

struct TTopLevelWindow {
  HWND handle = CreateWindowExW(0, L"STATIC", L"Мастер подключения", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, nullptr, nullptr);
  ~TTopLevelWindow() { DestroyWindow(handle); }
};

} // namespace

TEST_CASE("the running instance's published window is brought forward, restored when minimised") {
  const std::string name = "TandrelTestForm" + std::to_string(std::random_device{}());
  CHECK_FALSE(BringRunningInstanceForward(name));

  TSingleInstanceLock instance;
  REQUIRE(instance.Acquire(PrivateTempFolder(nullptr), name, "") == TSingleInstanceLock::TResult::Acquired);
  TTopLevelWindow window;
  REQUIRE(window.handle != nullptr);
  TTopLevelWindow unrelated;
  ShowWindow(window.handle, SW_SHOWMINIMIZED);
  CHECK_FALSE(BringRunningInstanceForward(name));

  instance.PublishWindow(reinterpret_cast<std::uintptr_t>(window.handle));
  ShowWindow(unrelated.handle, SW_SHOW);
  CHECK(BringRunningInstanceForward(name));
  CHECK_FALSE(IsIconic(window.handle));
  CHECK(GetForegroundWindow() == window.handle);
}
