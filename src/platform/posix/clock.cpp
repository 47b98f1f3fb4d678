// Time on POSIX: the monotonic clock, so that wall-clock changes never
// stretch or cut the scanner's time limits. A virtual clock can be attached
// in its place; the virtual scanner does so to run without real waiting.

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/platform.h"

namespace lf::platform {

namespace {

// Null while the system clock is in use.
std::atomic<Clock*> g_attachedClock{nullptr};

uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Counted from the first reading so that, like GetTickCount, the value
// starts small; it wraps after 49.7 days as GetTickCount does.
uint32_t SystemNowMs() {
  static const uint64_t start = MonotonicNs();
  return static_cast<uint32_t>((MonotonicNs() - start) / 1000000u);
}

void SystemSleepMs(uint32_t ms) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(ms / 1000u);
  remaining.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  // A signal must not shorten the wait: the scanner's settle times depend on it.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace

uint32_t NowMs() {
  if (Clock* clock = g_attachedClock.load()) return clock->NowMs();
  return SystemNowMs();
}

void SleepMs(uint32_t ms) {
  if (Clock* clock = g_attachedClock.load()) {
    clock->SleepMs(ms);
    return;
  }
  SystemSleepMs(ms);
}

Clock* AttachClock(Clock* clock) { return g_attachedClock.exchange(clock); }

}  // namespace lf::platform
