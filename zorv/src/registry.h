// The registered callback record, shared by the agent's calls and the
// administration functions.
#pragma once

#include "callbacks.h"

namespace zorv {

// A copy of the registered record; registered tells whether there was one
// (without one the copy is all defaults).
Callbacks RegisteredCallbacks(bool &registered);

} // namespace zorv
