#include "app/QuitRequests.h"

#include "platform/QuitSignals.h"

#include <QSocketNotifier>
#include <QWidget>

TQuitRequests::TQuitRequests(QWidget *window) {
  const int descriptor = QuitSignalDescriptor();
  if (descriptor < 0)
    return;
  auto *notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, window, [window] {
    if (TakeQuitRequests())
      window->close();
  });
}
