// Register traffic against the virtual scanner: the cost a scan set-up pays
// per batch of register writes, and the sort used by calibration.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "channel/channel.h"
#include "models/models.h"
#include "sim/sim.h"

namespace {

void BM_RegisterBatch(benchmark::State& state) {
  lf::sim::VirtualBus bus;
  lf::sim::VirtualScanner& scanner = bus.Plug(0);
  scanner.SetTraceInMemory(false);
  bus.Install();
  lf::OpenChannel(lf::kScannerVendorId, 0);
  std::vector<lf::RegisterEntry> entries;
  for (int i = 0; i < state.range(0); ++i) {
    entries.push_back({static_cast<uint16_t>(i % 512), static_cast<uint8_t>(i), 0});
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(lf::WriteRegisterBatch(
        entries.data(), static_cast<uint32_t>(entries.size() * sizeof(lf::RegisterEntry))));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  lf::CloseChannel();
  bus.Uninstall();
}
BENCHMARK(BM_RegisterBatch)->Arg(32)->Arg(113)->Arg(512);

void BM_ShellSortU16(benchmark::State& state) {
  std::mt19937 random(7);
  std::vector<uint16_t> source(static_cast<size_t>(state.range(0)));
  for (uint16_t& v : source) v = static_cast<uint16_t>(random());
  std::vector<uint16_t> values;
  for (auto _ : state) {
    values = source;
    lf::ShellSortU16(values.data(), static_cast<uint16_t>(values.size()));
    benchmark::DoNotOptimize(values.data());
  }
}
BENCHMARK(BM_ShellSortU16)->Arg(240)->Arg(960);

}  // namespace
