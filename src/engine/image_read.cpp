// Image data reading: starts the engine, waits for the first data, pulls
// whole blocks of raw lines out of the controller's image buffer, puts
// colour samples from plane order into pixel order and watches for the end
// of the sheet in page scans.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "channel/channel.h"
#include "common/common.h"
#include "engine/engine.h"

namespace lf {
namespace {

// The two-sided product keeps dual-scan colour lines in plane order: its
// side split indexes planes. This build interleaves every colour line.
constexpr bool kDualScanKeepsPlanes = std::string_view(kBuildModelName) == "KD409P";

constexpr uint16_t kStatusRegister = 0x101;
constexpr uint8_t kStatusDataReady = 0x10;
constexpr uint8_t kStatusBusy = 0x40;
constexpr uint16_t kWaitingDataRegister = 0x102;
constexpr uint32_t kDataWaitMs = 60000;

constexpr uint16_t kSheetEndRegister = 0xBF;
constexpr uint8_t kSheetEndMask = 0x3F;
constexpr uint32_t kLatchLineCounter = 0x01100000;
constexpr uint16_t kTrailingLinesRegister = 0x43;
constexpr int32_t kNoPageLimit = 0xFFFFFF;

// Plane-order to pixel-order loops. The three-channel cases are the whole
// per-byte cost of a colour scan, so they are kept simple enough for the
// compiler to vectorise.
// Spreading three planes into pixels is a byte shuffle: x86-64 needs SSSE3
// for the compiler to vectorise it, so Linux builds carry a second copy for
// processors that have it and pick one when the library loads.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__clang__)
#define LF_SHUFFLE_CLONES __attribute__((target_clones("default", "ssse3")))
#else
#define LF_SHUFFLE_CLONES
#endif

LF_SHUFFLE_CLONES
void InterleaveThree8(const uint8_t* __restrict planes, uint32_t n, uint8_t* __restrict out) {
  const uint8_t* first = planes;
  const uint8_t* second = planes + n;
  const uint8_t* third = planes + 2 * static_cast<size_t>(n);
  for (uint32_t p = 0; p < n; ++p) {
    out[3 * static_cast<size_t>(p)] = first[p];
    out[3 * static_cast<size_t>(p) + 1] = second[p];
    out[3 * static_cast<size_t>(p) + 2] = third[p];
  }
}

// Samples move as whole 2-byte units so each keeps its byte order.
void InterleaveThree16(const uint8_t* __restrict planes, uint32_t n, uint8_t* __restrict out) {
  const uint8_t* first = planes;
  const uint8_t* second = planes + 2 * static_cast<size_t>(n);
  const uint8_t* third = planes + 4 * static_cast<size_t>(n);
  for (uint32_t p = 0; p < n; ++p) {
    uint8_t* pixel = out + 6 * static_cast<size_t>(p);
    std::memcpy(pixel, first + 2 * static_cast<size_t>(p), 2);
    std::memcpy(pixel + 2, second + 2 * static_cast<size_t>(p), 2);
    std::memcpy(pixel + 4, third + 2 * static_cast<size_t>(p), 2);
  }
}

void InterleaveAny(const uint8_t* planes, uint32_t n, uint32_t channels, uint32_t sampleSize,
                   uint8_t* out) {
  for (uint32_t p = 0; p < n; ++p) {
    for (uint32_t c = 0; c < channels; ++c) {
      std::memcpy(out + (static_cast<size_t>(p) * channels + c) * sampleSize,
                  planes + (static_cast<size_t>(c) * n + p) * sampleSize, sampleSize);
    }
  }
}

// InterleaveLine with the caller's scratch line (at least bytes long), so a
// block of lines needs one allocation. Bytes past the last whole pixel stay
// as they are.
void InterleaveLine(uint8_t* line, uint32_t bytes, uint32_t channels, bool eightBit,
                    uint8_t* scratch) {
  const uint32_t sampleSize = eightBit ? 1 : 2;
  const uint32_t n = bytes / channels / sampleSize;
  if (channels == 3 && eightBit) {
    InterleaveThree8(line, n, scratch);
  } else if (channels == 3) {
    InterleaveThree16(line, n, scratch);
  } else {
    InterleaveAny(line, n, channels, sampleSize, scratch);
  }
  std::memcpy(line, scratch, static_cast<size_t>(n) * channels * sampleSize);
}

// Without memory for the scratch line the block stays in plane order; the
// read itself has still succeeded.
void InterleaveBlock(uint8_t* block, int32_t lines) {
  const EngineState& engine = Engine();
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[engine.bytesPerLine]);
  if (!scratch) return;
  for (int32_t i = 0; i < lines; ++i) {
    InterleaveLine(block + static_cast<size_t>(i) * engine.bytesPerLine, engine.bytesPerLine, 3,
                   !engine.sixteenBit, scratch.get());
  }
}

bool StartEngine() { return SetScanEnable(true) && ClearStatus15() && WaitForData(); }

// Once the controller flags the end of the sheet, the page still has the
// lines it counted so far plus the trailing lines the page programme set.
// The transfers are best effort: a failed read counts as 0.
void CheckSheetEnd() {
  EngineState& engine = Engine();
  uint8_t sheetEnd = 0;
  if (!ReadRegister(kSheetEndRegister, &sheetEnd)) sheetEnd = 0;
  if ((sheetEnd & kSheetEndMask) == 0) return;

  WriteCommandWord(kLatchLineCounter);
  uint32_t counter = 0;
  if (!ReadCounterWord(&counter)) counter = 0;
  engine.pageEndKnown = true;
  uint16_t trailing = 0;
  if (!ReadRegister16(kTrailingLinesRegister, &trailing)) trailing = 0;

  // The counts are sensor lines; a colour line takes three of them.
  uint64_t limit = uint64_t{trailing} + counter;
  if (engine.extraPlanes != 0) limit = (limit + 2) / 3;
  engine.pageLineLimit = static_cast<int32_t>(static_cast<uint32_t>(limit));
}

}  // namespace

bool StartImageRead() {
  EngineState& engine = Engine();
  if (engine.pageScan) {
    engine.pageLinesDelivered = 0;
    engine.pageEndKnown = false;
    engine.pageLineLimit = kNoPageLimit;
  }
  if (!engine.pageScan || engine.pageMode == 1) return StartEngine();
  // Page modes 2 and 3 keep the engine running from one sheet to the next.
  if (engine.pageStartCount == 0 && !StartEngine()) return false;
  ++engine.pageStartCount;
  return true;
}

bool WaitForData() {
  // First the status: ready, or still busy filling the buffer.
  uint32_t start = ElapsedMs();
  for (;;) {
    uint8_t status = 0;
    if (!ReadRegister(kStatusRegister, &status)) return false;
    if (status & kStatusDataReady) return true;
    if (!(status & kStatusBusy)) break;
    if (ElapsedMs() - start >= kDataWaitMs) return false;
  }
  // The engine went idle without flagging data: look at what is waiting.
  start = ElapsedMs();
  for (;;) {
    uint32_t waiting = 0;
    if (!ReadRegister32(kWaitingDataRegister, &waiting)) return false;
    if (waiting != 0) return true;
    if (ElapsedMs() - start >= kDataWaitMs) return false;
  }
}

int ReadImageLines(uint8_t* dest, int32_t lines) {
  EngineState& engine = Engine();
  if (dest == nullptr || lines < 0) return 0;
  if (engine.pageScan) {
    // Checked before the read only: a block that crosses the limit is
    // delivered whole.
    if (engine.pageLinesDelivered >= engine.pageLineLimit) return kPageComplete;
    if (!engine.pageEndKnown && (engine.pageMode == 1 || engine.pageMode == 2)) CheckSheetEnd();
  }

  const uint64_t byteCount = uint64_t{engine.bytesPerLine} * static_cast<uint32_t>(lines);
  if (byteCount > UINT32_MAX) return 0;
  if (!ReadScanData(dest, static_cast<uint32_t>(byteCount))) return 0;

  const bool keepPlanes = kDualScanKeepsPlanes && g_dualScan == 1;
  if (engine.extraPlanes != 0 && !keepPlanes) InterleaveBlock(dest, lines);
  if (engine.pageScan) engine.pageLinesDelivered += lines;
  return 1;
}

bool EndImageRead() {
  const EngineState& engine = Engine();
  if (engine.pageScan && engine.pageMode != 1) return true;
  // A single sheet: let the motor finish moving it out before stopping.
  if (engine.pageScan && !WaitMotorIdle()) return false;
  return SetScanEnable(false);
}

bool InterleaveLine(uint8_t* line, uint32_t bytes, int32_t channels, bool eightBit) {
  if (line == nullptr || channels <= 0) return false;
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[bytes]);
  if (!scratch) return false;
  InterleaveLine(line, bytes, static_cast<uint32_t>(channels), eightBit, scratch.get());
  return true;
}

}  // namespace lf
