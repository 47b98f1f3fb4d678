// The straight image path: how fast the virtual scanner produces lines and
// how fast the engine pulls a page out of it (window command, bulk read,
// interleaving).
#include <benchmark/benchmark.h>

#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "sim/sim.h"

namespace {

struct Rig {
  lf::sim::VirtualBus bus;
  lf::sim::VirtualScanner* scanner;
  Rig() : scanner(&bus.Plug(0, lf::sim::Model::kKD21x)) {
    scanner->SetTraceInMemory(false);
    bus.Install();
    lf::ResetEngineState();
    lf::OpenChannel(lf::kScannerVendorId, 0);
    lf::InitController();
  }
  ~Rig() {
    lf::CloseChannel();
    bus.Uninstall();
  }
};

lf::ScanParams ColourScan(uint16_t dpi, uint32_t lines) {
  lf::ScanParams params;
  params.pixels = 8500u * dpi / 1000u;  // the whole 8.5-inch sheet
  params.lines = lines;
  params.xResolution = params.yResolution = dpi;
  params.colourMode = 0;
  params.bitsPerSample = 8;
  params.lineTime = dpi > 600 ? 3.0f : 1.5f;
  params.exposureRed = params.exposureGreen = params.exposureBlue = 0.6f;
  params.reduction = dpi <= 300 ? 2 : 1;
  return params;
}

bool StartColourScan(uint16_t dpi, uint32_t lines) {
  const lf::ScanParams params = ColourScan(dpi, lines);
  return lf::SetupScan(&params) && lf::WriteRegisterBits(0x36, 1, 1, 1) &&
         lf::WriteRegisterBits(0x33, 1, 1, dpi > 300 ? 1 : 0) && lf::SetLampState(0, 1) &&
         lf::StartImageRead();
}

// Lines per second of CPU that the virtual scanner delivers at 1200 dpi in
// colour (three planes of 10200 samples a line).
void BM_VirtualScannerColourLines1200(benchmark::State& state) {
  Rig rig;
  constexpr int32_t kBlock = 24;
  if (!StartColourScan(1200, 1000000)) state.SkipWithError("scan did not start");
  std::vector<uint8_t> block(size_t{lf::Engine().bytesPerLine} * kBlock);
  for (auto _ : state) {
    if (lf::ReadImageLines(block.data(), kBlock) != 1) state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
  lf::EndImageRead();
}
BENCHMARK(BM_VirtualScannerColourLines1200)->Unit(benchmark::kMillisecond);

// Bytes per second of the engine's raw read of a two-inch colour page.
void BM_EngineRawPage(benchmark::State& state) {
  Rig rig;
  const auto dpi = static_cast<uint16_t>(state.range(0));
  const uint32_t lines = 2u * dpi;
  constexpr int32_t kBlock = 40;
  std::vector<uint8_t> block;
  for (auto _ : state) {
    if (!StartColourScan(dpi, lines)) state.SkipWithError("scan did not start");
    block.resize(size_t{lf::Engine().bytesPerLine} * kBlock);
    for (uint32_t done = 0; done < lines; done += kBlock) {
      if (lf::ReadImageLines(block.data(), kBlock) != 1) state.SkipWithError("read failed");
    }
    lf::EndImageRead();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{lf::Engine().bytesPerLine} * lines);
}
BENCHMARK(BM_EngineRawPage)->Arg(300)->Arg(1200)->Unit(benchmark::kMillisecond);

}  // namespace
