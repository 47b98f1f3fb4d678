// The exported interface's own state: model selection lives in the exports
// themselves; this header gives tests and the other exports' code the few
// module-wide values held here.
#pragma once

#include <cstdint>

#include "common/common.h"

namespace lf {

// The three integers of IO_SetColor; nothing in the library reads them.
struct ColourTriple {
  int32_t first = 1;
  int32_t second = 1;
  int32_t third = 1;
};
ColourTriple GetColourTriple();

// Destroys the session and then the model, as the module does when it is
// unloaded; also what a test calls to start from nothing.
void ReleaseSessionAndModel();

}  // namespace lf
