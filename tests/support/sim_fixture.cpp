#include "support/sim_fixture.h"

#include <cstdlib>
#include <filesystem>

#include "api/api.h"
#include "channel/channel.h"
#include "engine/engine.h"
#include "platform/platform.h"

namespace lf::test {

std::string MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lf_v2270_test_XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  return made != nullptr ? std::string(made) : std::string();
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  hadOld_ = old != nullptr;
  if (hadOld_) old_ = old;
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (hadOld_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

DebugLines::DebugLines() { platform::SetDebugObserver(&DebugLines::Observe, this); }
DebugLines::~DebugLines() { platform::SetDebugObserver(nullptr, nullptr); }
void DebugLines::Observe(void* context, const char* text) {
  static_cast<DebugLines*>(context)->lines_.emplace_back(text);
}

SimTest::SimTest()
    : root_(MakeTempDir()),
      rootEnv_("LF_V2270_ROOT", root_.c_str()),
      installPathEnv_("LF_V2270_INSTALL_PATH", nullptr),
      windowsDirEnv_("LF_V2270_WINDOWS_DIR", nullptr) {}

SimTest::~SimTest() { RemoveTree(root_); }

void SimTest::SetUp() {
  ReleaseSessionAndModel();
  CloseChannel();
  ResetRegisterShadow();
  bus_.Install();
}

void SimTest::TearDown() {
  ReleaseSessionAndModel();
  CloseChannel();
  if (expectNoProtocolErrors_) {
    for (int slot = 0; slot < platform::kDeviceSlotCount; ++slot) {
      if (sim::VirtualScanner* scanner = bus_.At(slot)) {
        EXPECT_EQ(scanner->ProtocolErrors(), 0u) << "protocol errors on slot " << slot;
      }
    }
  }
  bus_.Uninstall();
}

sim::VirtualScanner& SimTest::Plug(int slot, sim::Model model, sim::Descriptor descriptor) {
  return bus_.Plug(slot, model, descriptor);
}

const std::vector<std::string>& SimTest::Trace() {
  static const std::vector<std::string> kEmpty;
  sim::VirtualScanner* scanner = bus_.At(0);
  return scanner != nullptr ? scanner->Trace() : kEmpty;
}

void SimTest::ClearTraces() {
  for (int slot = 0; slot < platform::kDeviceSlotCount; ++slot) {
    if (sim::VirtualScanner* scanner = bus_.At(slot)) scanner->ClearTrace();
  }
}

std::string SimTest::HostPath(const std::string& windowsPath) const {
  // "C:\a\b" -> <root>/c/a/b, the drive mapping of the POSIX backend.
  std::string path = root_ + "/";
  path += static_cast<char>(std::tolower(static_cast<unsigned char>(windowsPath.at(0))));
  for (size_t i = 2; i < windowsPath.size(); ++i) {
    path += windowsPath[i] == '\\' ? '/' : windowsPath[i];
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void EngineTest::SetUp() {
  SimTest::SetUp();
  scanner_ = &Plug(0);
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  ResetEngineState();
  ResetRegisterShadow();
  scanner_->ClearTrace();
}

uint64_t EngineTest::HangFrom(uint64_t n) {
  scanner_->ClearFaults();
  scanner_->ClearTrace();
  scanner_->InjectFault(sim::Fault::kHang, scanner_->TransferCount() + n);
  return scanner_->TransferCount();
}

uint32_t EngineTest::Chip(uint16_t reg, int width) const {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    value = value << 8 | scanner_->Register(static_cast<uint16_t>(reg + i));
  }
  return value;
}

}  // namespace lf::test
