// Virtual time for the virtual scanner and, when attached, for the library.
#include <thread>

#include "sim/sim.h"

namespace lf::sim {

VirtualClock::VirtualClock() : realStart_(std::chrono::steady_clock::now()) {}

uint32_t VirtualClock::NowMs() {
  // A read costs a little time so that a loop spinning on the clock ends
  // after a bounded number of reads. In realtime mode time passes anyway.
  if (!realtime_) nowUs_.fetch_add(kClockReadUs, std::memory_order_relaxed);
  return static_cast<uint32_t>(NowUs() / 1000);
}

void VirtualClock::SleepMs(uint32_t ms) { AdvanceUs(static_cast<uint64_t>(ms) * 1000); }

uint64_t VirtualClock::NowUs() const {
  if (realtime_) {
    auto elapsed = std::chrono::steady_clock::now() - realStart_;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
  }
  return nowUs_.load(std::memory_order_relaxed);
}

void VirtualClock::AdvanceUs(uint64_t us) {
  if (realtime_) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
    return;
  }
  nowUs_.fetch_add(us, std::memory_order_relaxed);
}

void VirtualClock::SetRealtime(bool realtime) {
  if (realtime == realtime_) return;
  // Keep time monotonic across the switch: realtime continues from the
  // virtual time reached, and virtual time continues from the real one.
  uint64_t now = NowUs();
  realtime_ = realtime;
  if (realtime) {
    realStart_ = std::chrono::steady_clock::now() - std::chrono::microseconds(now);
  } else {
    nowUs_.store(now, std::memory_order_relaxed);
  }
}

}  // namespace lf::sim
