// One way to launch a kernel on either side: chevrons exist only under nvcc.
// Launch errors are left pending, exactly as a real launch leaves them; callers read them with
// cudaGetLastError right after the call.
#pragma once

#include <utility>

#include "gpu/runtime.h"

namespace gpu {

template <typename... Params, typename... Args>
inline void launch(void (*kernel)(Params...), dim3 grid, dim3 block, cudaStream_t stream, Args&&... args)
{
#if defined(CRV_EMULATOR)
    emu::launch(grid, block, stream, [&] { kernel(args...); });
#elif defined(__CUDACC__)
    kernel<<<grid, block, 0, stream>>>(std::forward<Args>(args)...);
#else
    static_assert(sizeof...(Params) < 0, "kernels are launched from .cu sources only");
#endif
}

}  // namespace gpu
