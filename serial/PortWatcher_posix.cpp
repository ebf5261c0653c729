#include "serial/PortWatcher.h"

#include <QSocketNotifier>

namespace {

// Switched off once it has told, until the watch is armed again.
std::unique_ptr<QSocketNotifier> Notifier(TCOMHandle port, QSocketNotifier::Type type,
                                          const std::function<void()> &ready) {
  auto notifier = std::make_unique<QSocketNotifier>(static_cast<qintptr>(port), type);
  notifier->setEnabled(false);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [watch = notifier.get(), ready] {
    watch->setEnabled(false);
    ready();
  });
  return notifier;
}

} // namespace

struct TPortWatcher::TBackend {
  std::unique_ptr<QSocketNotifier> readable;
  std::unique_ptr<QSocketNotifier> writable;
};

TPortWatcher::TPortWatcher(TCOMHandle port, std::function<void()> ready)
    : FBackend(new TBackend{Notifier(port, QSocketNotifier::Read, ready), Notifier(port, QSocketNotifier::Write, ready)}) {}

TPortWatcher::~TPortWatcher() = default;

void TPortWatcher::WatchInput() { FBackend->readable->setEnabled(true); }

bool TPortWatcher::WatchingInput() const { return FBackend->readable->isEnabled(); }

void TPortWatcher::WatchOutputRoom() { FBackend->writable->setEnabled(true); }

bool TPortWatcher::WatchingOutputRoom() const { return FBackend->writable->isEnabled(); }

// The descriptor tells by itself.
void TPortWatcher::NoteTraffic() {}
