#include "engine/engine.h"

namespace lf {
namespace {
EngineState g_engine;
}  // namespace

EngineState& Engine() { return g_engine; }

void ResetEngineState() { g_engine = EngineState{}; }

}  // namespace lf
