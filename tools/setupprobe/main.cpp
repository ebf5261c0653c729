// Stand-in setup program for tests of the real wizard. Started with no
// arguments; configured through the environment:
//   SETUPPROBE_DIR          folder for its record (required)
//   SETUPPROBE_PORT         server port on 127.0.0.1 (default 53462)
//   SETUPPROBE_LIFETIME_MS  it ends on its own after this long (default 120000),
//                           so a broken test run never leaves it behind
// It connects, retrying, and connects again whenever the server drops it.
// Record in SETUPPROBE_DIR:
//   pid        its process id
//   events     one line per "connected" and "closed"
//   received   every byte received, over all connections
//   sent       every byte sent
// A file send-NAME.bin appearing there (write it under another name, then
// rename it) is sent while connected, then renamed to send-NAME.done.

#include "Sockets.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto RetryPause = std::chrono::milliseconds(50);
constexpr int PollMs = 50;

class TRecord {
public:
  explicit TRecord(fs::path folder) : FFolder(std::move(folder)) {}

  void WritePid() const {
    const fs::path temporary = FFolder / "pid.tmp";
    std::ofstream(temporary) << getpid() << '\n';
    fs::rename(temporary, FFolder / "pid");
  }
  void Event(const std::string &line) const { Append("events", line + "\n"); }
  void Received(const std::string &bytes) const { Append("received", bytes); }
  void Sent(const std::string &bytes) const { Append("sent", bytes); }

  // The send files that are ready, oldest name first.
  std::vector<fs::path> PendingSends() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(FFolder, error)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("send-") && name.ends_with(".bin"))
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

private:
  void Append(const char *file, const std::string &bytes) const {
    std::ofstream out(FFolder / file, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  fs::path FFolder;
};

std::string ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns false when the connection has ended.
bool ServeOnce(int fd, const TRecord &record) {
  for (const fs::path &file : record.PendingSends()) {
    const std::string bytes = ReadFile(file);
    if (!SendAll(fd, bytes))
      return false;
    record.Sent(bytes);
    fs::path done = file;
    fs::rename(file, done.replace_extension(".done"));
  }
  pollfd poller{fd, POLLIN, 0};
  if (poll(&poller, 1, PollMs) <= 0)
    return true;
  char buffer[65536];
  const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
  if (got <= 0)
    return false;
  record.Received(std::string(buffer, static_cast<size_t>(got)));
  return true;
}

} // namespace

int main() {
  const char *folder = std::getenv("SETUPPROBE_DIR");
  if (!folder || !*folder) {
    std::fprintf(stderr, "setupprobe: SETUPPROBE_DIR is not set\n");
    return 2;
  }
  const int port = static_cast<int>(EnvironmentNumber("SETUPPROBE_PORT", 53462));
  const auto end = Clock::now() + std::chrono::milliseconds(EnvironmentNumber("SETUPPROBE_LIFETIME_MS", 120000));
  const TRecord record(folder);
  record.WritePid();
  while (Clock::now() < end) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) {
      std::this_thread::sleep_for(RetryPause);
      continue;
    }
    record.Event("connected");
    while (Clock::now() < end && ServeOnce(fd, record)) {
    }
    close(fd);
    record.Event("closed");
  }
  return 0;
}
