// scan_arrays: scan_detector's parameters, checks and messages, with the result as flat buffers.
#include "binding/kernels.hpp"

namespace vollan::py {

PyMethodDef kScanKernels[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vollan::py
