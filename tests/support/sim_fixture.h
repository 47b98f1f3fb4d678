// Fixture for tests that run the library against the virtual scanner: a bus
// installed behind the platform seam (its clock too), a private folder tree
// for the drive mapping, and library state released before and after.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim.h"

namespace lf::test {

// A fresh empty directory under the system's temporary folder.
std::string MakeTempDir();
void RemoveTree(const std::string& path);

// Sets or (for null) unsets an environment variable for the life of the
// object, and puts the old value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool hadOld_;
};

// Collects the platform's debug lines while it lives.
class DebugLines {
 public:
  DebugLines();
  ~DebugLines();
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  static void Observe(void* context, const char* text);
  std::vector<std::string> lines_;
};

class SimTest : public ::testing::Test {
 protected:
  SimTest();
  ~SimTest() override;
  void SetUp() override;
  void TearDown() override;

  sim::VirtualScanner& Plug(int slot = 0, sim::Model model = sim::Model::kLumaframe,
                            sim::Descriptor descriptor = {});
  // The trace of slot 0's scanner.
  const std::vector<std::string>& Trace();
  void ClearTraces();
  // The calibration tree as the drive mapping lays it out on disk.
  std::string HostPath(const std::string& windowsPath) const;

  sim::VirtualBus bus_;
  std::string root_;
  // Tests that provoke protocol errors on purpose switch the final check off.
  bool expectNoProtocolErrors_ = true;

 private:
  ScopedEnv rootEnv_;
  ScopedEnv installPathEnv_;
  ScopedEnv windowsDirEnv_;
};

// A scanner at slot 0 with the channel open and the engine state and
// register shadow as a freshly loaded library has them; the trace is empty.
class EngineTest : public SimTest {
 protected:
  void SetUp() override;
  // Hangs the n-th transfer from now (1-based) and every later one; clears
  // the trace and returns the transfer count before it.
  uint64_t HangFrom(uint64_t n);
  // A register as the chip holds it, `width` bytes big-endian from reg.
  uint32_t Chip(uint16_t reg, int width = 1) const;

  sim::VirtualScanner* scanner_ = nullptr;
};

}  // namespace lf::test
