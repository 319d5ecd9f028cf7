// The seven functions of _vollan_native, in registration order.
#pragma once

#include "binding/pyref.hpp"

namespace vollan::py {

// Method definitions (METH_FASTCALL | METH_KEYWORDS), terminated by a zeroed entry.
extern PyMethodDef kEntries[];

}  // namespace vollan::py
