#include "mining/card_device.h"

#include <string>

GpuStatus use_card(int gpu)
{
    GpuStatus status;
    if (!status.check(cudaSetDevice(gpu), "set device")) return status;
    unsigned int flags = 0;
    if (!crv_cuda_ok(cudaGetDeviceFlags(&flags), "get device flags") ||
        (flags & cudaDeviceScheduleMask) == cudaDeviceScheduleBlockingSync)
        return status;
    if (crv_cuda_ok(cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync), "set blocking synchronisation") &&
        crv_cuda_ok(cudaGetDeviceFlags(&flags), "get device flags") &&
        (flags & cudaDeviceScheduleMask) == cudaDeviceScheduleBlockingSync)
        crv_debug_line("GPU " + std::to_string(gpu) + ": the host waits for it blocking, without spinning");
    return status;
}
