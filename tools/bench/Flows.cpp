#include "Flows.h"

#include "SimDevice.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <poll.h>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

constexpr int PollMs = 2;
constexpr auto SinkPollInterval = std::chrono::milliseconds(5);
constexpr double GraceSeconds = 5; // beyond the plan, for the last bytes to arrive
constexpr int RoundTripTimeoutMs = 2000;
constexpr int MaxGapMs = 20;

double Seconds(TBenchClock::duration span) { return std::chrono::duration<double>(span).count(); }

struct TSinkState {
  long long count = -1;
  long long mismatchAt = -1;
};

// "OK N pattern" or "OK N mismatch M".
TSinkState ParseSinkReport(const std::string &reply) {
  std::istringstream words(reply);
  std::string ok, verdict;
  TSinkState state;
  words >> ok >> state.count >> verdict;
  if (ok != "OK")
    return TSinkState{};
  if (verdict == "mismatch")
    words >> state.mismatchAt;
  return state;
}

// The simulator's running total of held-back output; -1 when it does not say.
long long HeldBackMs(TSimControl &control) {
  std::istringstream words(control.Command("heldback"));
  std::string ok;
  long long ms = -1;
  words >> ok >> ms;
  return ok == "OK" ? ms : -1;
}

// Writes what the socket takes now; the rest stays in `pending`.
bool WritePending(int fd, std::string &pending) {
  if (pending.empty())
    return true;
  const ssize_t put = write(fd, pending.data(), pending.size());
  if (put < 0)
    return errno == EAGAIN;
  pending.erase(0, static_cast<size_t>(put));
  return true;
}

// The sink's side of a flow towards the device, read through the control channel.
class TSinkWatch {
public:
  TSinkWatch(TSimControl &control, long long expected) : FControl(control), FExpected(expected) {
    FBase = ParseSinkReport(FControl.Command("sinkcheck")).count;
  }
  bool IsValid() const { return FBase >= 0; }
  unsigned long long Base() const { return static_cast<unsigned long long>(FBase); }
  void Poll(TInstant now) {
    const TSinkState state = ParseSinkReport(FControl.Command("sinkcheck"));
    if (state.count < 0)
      return;
    FArrivals.Reached(state.count - FBase, now);
    if (state.mismatchAt >= FBase && FFirstMismatch < 0)
      FFirstMismatch = state.mismatchAt - FBase;
  }
  bool Complete() const { return FArrivals.Total() >= FExpected; }
  TFlowResult Result(double lineBytesPerSecond) const {
    return TFlowResult{FExpected, FArrivals.Total(), FFirstMismatch, FArrivals.SustainedBytesPerSecond(),
                       lineBytesPerSecond};
  }

private:
  TSimControl &FControl;
  long long FExpected;
  long long FBase = -1;
  long long FFirstMismatch = -1;
  TArrivals FArrivals;
};

} // namespace

void TArrivals::Reached(long long total, TInstant now) {
  if (total > Total())
    FPoints.push_back({now, total});
}

double TArrivals::SustainedBytesPerSecond() const {
  if (FPoints.size() < 2)
    return 0;
  double meanT = 0, meanBytes = 0;
  for (const TPoint &point : FPoints) {
    meanT += Seconds(point.at - FPoints.front().at);
    meanBytes += static_cast<double>(point.total);
  }
  meanT /= static_cast<double>(FPoints.size());
  meanBytes /= static_cast<double>(FPoints.size());
  double covariance = 0, variance = 0;
  for (const TPoint &point : FPoints) {
    const double t = Seconds(point.at - FPoints.front().at) - meanT;
    covariance += t * (static_cast<double>(point.total) - meanBytes);
    variance += t * t;
  }
  return variance > 0 ? covariance / variance : 0;
}

void TStreamCheck::Feed(const char *bytes, size_t count, TInstant now) {
  const long long offset = FArrivals.Total();
  for (size_t i = 0; i < count && FFirstMismatch < 0; ++i)
    if (bytes[i] != PatternByte(static_cast<unsigned long long>(offset) + i))
      FFirstMismatch = offset + static_cast<long long>(i);
  FArrivals.Reached(offset + static_cast<long long>(count), now);
}

TFlowResult TStreamCheck::Result(double lineBytesPerSecond) const {
  return TFlowResult{FExpected, FArrivals.Total(), FFirstMismatch, FArrivals.SustainedBytesPerSecond(),
                     lineBytesPerSecond};
}

TPacedSource::TPacedSource(double bytesPerSecond, long long total, unsigned long long firstIndex, TInstant start)
    : FBytesPerSecond(bytesPerSecond), FTotal(total), FFirstIndex(firstIndex), FStart(start) {}

std::string TPacedSource::Due(TInstant now) {
  const long long due =
      FBytesPerSecond <= 0 ? FTotal
                           : std::min(FTotal, static_cast<long long>(Seconds(now - FStart) * FBytesPerSecond) + 1);
  std::string bytes;
  for (; FSent < due; ++FSent)
    bytes += PatternByte(FFirstIndex + static_cast<unsigned long long>(FSent));
  return bytes;
}

bool RunFlows(int linkFd, TSimControl &control, const TFlowPlan &plan, TFlowOutcome *outcome, std::string *error) {
  const double lineRate = plan.baud / 10.0; // 8N1: ten bits a byte
  const auto total = static_cast<long long>(std::llround(lineRate * plan.seconds));
  TStreamCheck stream(plan.fromDevice ? total : 0);
  TSinkWatch sink(control, plan.toDevice ? total : 0);
  if (!sink.IsValid()) {
    *error = "the device's sink does not answer";
    return false;
  }
  const long long heldBackBefore = HeldBackMs(control);
  const TInstant start = TBenchClock::now();
  TPacedSource source(plan.uploadAtOnce ? 0 : lineRate, plan.toDevice ? total : 0, sink.Base(), start);
  if (plan.fromDevice) {
    const std::string reply = control.Command("stream " + std::to_string(plan.baud) + " " + std::to_string(total));
    if (reply != "OK") {
      *error = "stream refused: " + reply;
      return false;
    }
  }
  const TInstant deadline = start + std::chrono::duration_cast<TBenchClock::duration>(
                                        std::chrono::duration<double>(plan.seconds + GraceSeconds));
  std::string pending;
  TInstant nextSinkPoll = start;
  char buffer[65536];
  while (!(stream.Complete() && sink.Complete()) && TBenchClock::now() < deadline) {
    pending += source.Due(TBenchClock::now());
    if (!WritePending(linkFd, pending)) {
      *error = "the link to the measuring client broke while sending";
      return false;
    }
    pollfd poller{linkFd, POLLIN, 0};
    if (poll(&poller, 1, PollMs) > 0) {
      const ssize_t got = read(linkFd, buffer, sizeof buffer);
      if (got == 0 || (got < 0 && errno != EAGAIN)) {
        *error = "the link to the measuring client closed";
        return false;
      }
      if (got > 0)
        stream.Feed(buffer, static_cast<size_t>(got), TBenchClock::now());
    }
    if (plan.toDevice && TBenchClock::now() >= nextSinkPoll) {
      sink.Poll(TBenchClock::now());
      nextSinkPoll = TBenchClock::now() + SinkPollInterval;
    }
  }
  if (plan.fromDevice) {
    outcome->fromDevice = stream.Result(lineRate);
    const long long heldBackAfter = HeldBackMs(control);
    if (heldBackBefore >= 0 && heldBackAfter >= 0)
      outcome->heldBackMs = static_cast<double>(heldBackAfter - heldBackBefore);
  }
  if (plan.toDevice)
    outcome->toDevice = sink.Result(lineRate);
  return true;
}

double TimeEcho(int linkFd, const std::string &bytes, double timeoutSeconds) {
  const TInstant start = TBenchClock::now();
  const TInstant deadline = start + std::chrono::duration_cast<TBenchClock::duration>(
                                        std::chrono::duration<double>(timeoutSeconds));
  std::string pending = bytes;
  std::string echo;
  char buffer[65536];
  while (echo.size() < bytes.size() && TBenchClock::now() < deadline) {
    if (!WritePending(linkFd, pending))
      return -1;
    pollfd poller{linkFd, POLLIN, 0};
    if (poll(&poller, 1, PollMs) <= 0)
      continue;
    const ssize_t got = read(linkFd, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EAGAIN))
      return -1;
    if (got > 0)
      echo.append(buffer, static_cast<size_t>(got));
  }
  return echo == bytes ? Seconds(TBenchClock::now() - start) : -1;
}

std::vector<double> MeasureRoundTrips(int linkFd, size_t count, size_t size) {
  std::minstd_rand random(7);
  std::uniform_int_distribution<int> gapMs(0, MaxGapMs);
  std::vector<double> samples;
  char buffer[4096];
  for (size_t i = 0; i < count; ++i) {
    // A random gap samples every phase of the bridge's polling loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
    std::string message(size, static_cast<char>('A' + i % 26));
    message.replace(0, std::min(size, std::to_string(i).size()), std::to_string(i));
    const TInstant sent = TBenchClock::now();
    if (write(linkFd, message.data(), message.size()) != static_cast<ssize_t>(message.size()))
      break;
    std::string echo;
    pollfd poller{linkFd, POLLIN, 0};
    while (echo.size() < size && poll(&poller, 1, RoundTripTimeoutMs) > 0) {
      const ssize_t got = read(linkFd, buffer, sizeof buffer);
      if (got <= 0)
        break;
      echo.append(buffer, static_cast<size_t>(got));
    }
    if (echo != message)
      break;
    samples.push_back(std::chrono::duration<double, std::milli>(TBenchClock::now() - sent).count());
  }
  return samples;
}

std::vector<int> MeasureReplyPieces(int linkFd, size_t count, const std::string &request, size_t replySize) {
  std::vector<int> pieces;
  char buffer[4096];
  for (size_t i = 0; i < count; ++i) {
    if (write(linkFd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
      break;
    size_t received = 0;
    int reads = 0;
    pollfd poller{linkFd, POLLIN, 0};
    while (received < replySize && poll(&poller, 1, RoundTripTimeoutMs) > 0) {
      const ssize_t got = read(linkFd, buffer, sizeof buffer);
      if (got <= 0)
        break;
      received += static_cast<size_t>(got);
      ++reads;
    }
    if (received != replySize)
      break;
    pieces.push_back(reads);
  }
  return pieces;
}

double Quantile(std::vector<double> samples, double q) {
  if (samples.empty())
    return 0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
  return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1];
}
