#include "core/Teardown.h"

namespace {

constexpr uint32_t kGuardMs = 150;
constexpr uint32_t kResultCodePauseMs = 100;

} // namespace

TTeardown::TTeardown(TClock &clock, QObject *parent) : QObject(parent), FClock(clock) {
  FWorker.moveToThread(&FThread);
  FThread.start();
}

TTeardown::~TTeardown() {
  // Queued behind the jobs, so every one of them runs first.
  QMetaObject::invokeMethod(&FWorker, [this] { FThread.quit(); }, Qt::QueuedConnection);
  FThread.wait();
}

void TTeardown::ClosePort(TCOMHandle handle, THangUp hangUp) {
  if (handle == INVALID_HANDLE_VALUE)
    return;
  Run([this, handle, hangUp]() mutable {
    if (hangUp == THangUp::Escape) {
      for (int i = 0; i < 3; ++i)
        WriteCOMString(handle, "+");
    } else if (hangUp == THangUp::ResultCode) {
      FClock.Sleep(kResultCodePauseMs);
    }
    if (hangUp != THangUp::None) {
      FClock.Sleep(kGuardMs);
      // A modem executes a command line only once its terminator arrives.
      WriteCOMString(handle, "ATH\r");
      FClock.Sleep(kGuardMs);
    }
    CloseCOM(handle);
  });
}

void TTeardown::Run(std::function<void()> job) {
  ++FPending;
  QMetaObject::invokeMethod(
      &FWorker,
      [this, job = std::move(job)] {
        job();
        QMetaObject::invokeMethod(
            this,
            [this] {
              if (--FPending == 0)
                emit Done();
            },
            Qt::QueuedConnection);
      },
      Qt::QueuedConnection);
}
