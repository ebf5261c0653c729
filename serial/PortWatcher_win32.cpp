#include "serial/PortWatcher.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace {

// While bytes move the driver is asked every millisecond; a quiet line is
// asked less often, at an eighth of the time it has been quiet, and at least
// every 50 ms (the relay's pass): the first byte after a pause waits at most
// an eighth of the pause, and an idle connection costs next to nothing.
constexpr qint64 kBusyPollMs = 1;
constexpr qint64 kQuietPollMs = 50;
constexpr qint64 kQuietShare = 8;
// The output counts as having room once the driver holds less than this
// (half the queue the port is opened with).
constexpr uint32_t kOutputRoomBelow = 1024;

} // namespace

struct TPortWatcher::TBackend {
  TBackend(TCOMHandle watched, std::function<void()> told) : port(watched), ready(std::move(told)) {
    poll.setSingleShot(true);
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, [this] { Poll(); });
    sinceTraffic.start();
  }

  qint64 Interval() const { return std::clamp(sinceTraffic.elapsed() / kQuietShare, kBusyPollMs, kQuietPollMs); }

  void Schedule() {
    if (!input && !output)
      poll.stop();
    else if (!poll.isActive() || poll.remainingTime() > Interval())
      poll.start(int(Interval()));
  }

  void Poll() {
    const bool wasInput = input;
    const bool wasOutput = output;
    TCOMQueues queues;
    if (QueryCOMQueues(port, queues)) {
      if (queues.input > 0 || queues.output > 0)
        sinceTraffic.restart();
      if (queues.input > 0)
        input = false;
      if (queues.output < kOutputRoomBelow)
        output = false;
    } else {
      // A port that cannot be asked is read and written all the same, so
      // that the read or write reports what became of it.
      input = output = false;
    }
    Schedule();
    if ((wasInput && !input) || (wasOutput && !output))
      ready();
  }

  TCOMHandle port;
  std::function<void()> ready;
  QTimer poll;
  QElapsedTimer sinceTraffic;
  bool input = false;
  bool output = false;
};

TPortWatcher::TPortWatcher(TCOMHandle port, std::function<void()> ready)
    : FBackend(new TBackend(port, std::move(ready))) {}

TPortWatcher::~TPortWatcher() = default;

void TPortWatcher::WatchInput() {
  FBackend->input = true;
  FBackend->Schedule();
}

bool TPortWatcher::WatchingInput() const { return FBackend->input; }

void TPortWatcher::WatchOutputRoom() {
  FBackend->output = true;
  FBackend->Schedule();
}

bool TPortWatcher::WatchingOutputRoom() const { return FBackend->output; }

void TPortWatcher::NoteTraffic() {
  FBackend->sinceTraffic.restart();
  FBackend->Schedule();
}
