#include "common/common.h"

#include <algorithm>
#include <cstring>

namespace lf {

ScanSession* g_session = nullptr;
ScannerModel* g_model = nullptr;
DeviceLink* g_deviceLink = nullptr;
Calibrator* g_calibrator = nullptr;
ScanParamHolder* g_scanParams = nullptr;
ModelSettings* g_settings = nullptr;
ScanDevice* g_scanDevice = nullptr;

int16_t g_dualScan = 0;
int32_t g_boardVariantFlag = 0;
float g_gammaAdjust[3] = {0.0f, 0.0f, 0.0f};
void* g_moduleInstance = nullptr;

namespace {
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

void AppendText(char* dest, uint32_t capacity, const char* tail) {
  if (dest == nullptr || tail == nullptr || capacity == 0) return;
  const size_t used = std::strlen(dest);
  if (used + 1 >= capacity) return;
  const size_t room = capacity - 1 - used;
  const size_t length = std::min(std::strlen(tail), room);
  std::memcpy(dest + used, tail, length);
  dest[used + length] = '\0';
}

bool EqualsIgnoringCase(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (AsciiLower(*a) != AsciiLower(*b)) return false;
  }
  return *a == *b;
}

}  // namespace lf
