// The method tables of vollan._kernels, one per topic, each in its own binding/kernels_*.cpp and
// terminated by a zeroed entry. kernels_module.cpp registers them in the order listed there; a
// new topic adds its table here and there.
#pragma once

#include "binding/pyref.hpp"

namespace vollan::py {

// kernels_scan.cpp: the whole-series scan with its results as flat typed buffers.
extern PyMethodDef kScanKernels[];
// kernels_stream.cpp: the adjacent sorted windows of vollan.Monitor.
extern PyMethodDef kStreamKernels[];

}  // namespace vollan::py
