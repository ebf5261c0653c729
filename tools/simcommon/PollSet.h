#pragma once
// The descriptors one pass of the poll loop waits on, each with its handler.

#include <functional>
#include <poll.h>
#include <vector>

class TPollSet {
public:
  using THandler = std::function<void(short revents)>;

  void Add(int fd, short events, THandler handler) {
    FFds.push_back({fd, events, 0});
    FHandlers.push_back(std::move(handler));
  }
  // Waits up to `timeoutMs`, then calls the handler of every ready descriptor.
  void Wait(int timeoutMs) {
    if (poll(FFds.data(), FFds.size(), timeoutMs) <= 0)
      return; // timeout, or a signal that the loop checks next
    for (size_t i = 0; i < FFds.size(); ++i)
      if (FFds[i].revents != 0)
        FHandlers[i](FFds[i].revents);
  }

private:
  std::vector<pollfd> FFds;
  std::vector<THandler> FHandlers;
};
