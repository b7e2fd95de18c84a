// The registered callback record, shared by the agent's calls and the
// administration functions.
#pragma once

#include "callbacks.h"

namespace zorv {

// A copy of the registered record; all defaults when none is registered.
Callbacks RegisteredCallbacks();

} // namespace zorv
