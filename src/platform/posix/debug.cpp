// Debug and console lines. A library must stay silent in its host's output,
// so both kinds go to stderr only when LF_V2270_DEBUG asks for them, and to
// an observer (a test, or a host that shows them) whenever one is set.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace lf::platform {

namespace {

std::mutex g_observerMutex;
TextObserver g_observer = nullptr;
void* g_observerContext = nullptr;

// Read at each line so that a host or test can switch it at any time.
bool DebugOutputEnabled() {
  const char* setting = std::getenv("LF_V2270_DEBUG");
  return setting != nullptr && setting[0] != '\0' && std::strcmp(setting, "0") != 0;
}

void EmitLine(const char* text) {
  if (text == nullptr) return;
  if (DebugOutputEnabled()) std::fputs(text, stderr);
  TextObserver observer;
  void* context;
  {
    std::lock_guard<std::mutex> lock(g_observerMutex);
    observer = g_observer;
    context = g_observerContext;
  }
  // Called outside the lock so that an observer may replace itself.
  if (observer != nullptr) observer(context, text);
}

}  // namespace

void DebugString(const char* text) { EmitLine(text); }

void ConsoleLine(const char* text) { EmitLine(text); }

void SetDebugObserver(TextObserver observer, void* context) {
  std::lock_guard<std::mutex> lock(g_observerMutex);
  g_observer = observer;
  g_observerContext = context;
}

}  // namespace lf::platform
