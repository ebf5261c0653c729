#pragma once
// What a simulated device or modem sees of its serial line.

#include "TimerQueue.h"

#include <functional>
#include <string>
#include <string_view>

class TSimLine {
public:
  virtual ~TSimLine() = default;
  // Sends bytes towards the bridge now, after anything sent before.
  virtual void Send(std::string_view bytes) = 0;
  virtual TTimerQueue &Timers() = 0;
  // The speed the bridge set on the port; 0 when it is not known.
  virtual long LineSpeed() = 0;
  // Calls `onReadable` whenever `fd` has input or has closed, until Unwatch:
  // a program the device runs on its side of the line is served by the same
  // loop as the line.
  virtual void Watch(int fd, std::function<void()> onReadable) = 0;
  virtual void Unwatch(int fd) = 0;

  // Sends bytes `delayMs` from now (at once for 0).
  void SendLater(long delayMs, std::string bytes) {
    if (delayMs <= 0)
      Send(bytes);
    else
      Timers().Schedule(delayMs, [this, bytes = std::move(bytes)] { Send(bytes); });
  }
};

// The behaviour behind the line: a device, or a modem with a device behind it.
class TSimBehaviour {
public:
  virtual ~TSimBehaviour() = default;
  // Bytes the bridge wrote, in the chunk in which they were read.
  virtual void OnReceived(std::string_view bytes) = 0;
  // A control command split into its name and the rest of the line. Returns
  // the reply line, or an empty string for a command it does not know.
  // Throws std::invalid_argument for bad arguments.
  virtual std::string OnCommand(const std::string &name, const std::string &argument) = 0;
  // The line was pulled: forget the session and any pending output.
  virtual void OnUnplug() = 0;
};
