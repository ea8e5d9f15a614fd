// Copy-in, launch check and copy-out shared by the test launchers.
#pragma once

#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/runtime.h"

namespace launch_support {

// An empty input leaves the buffer unallocated: there is nothing to copy.
template <typename T>
cudaError_t upload(gpu::DeviceBuffer<T>& buffer, const std::vector<T>& host)
{
    if (host.empty()) return cudaSuccess;
    cudaError_t status = buffer.allocate(host.size());
    if (status == cudaSuccess) status = cudaMemcpy(buffer.get(), host.data(), buffer.bytes(), cudaMemcpyHostToDevice);
    return status;
}

template <typename T>
cudaError_t download(std::vector<T>& host, const gpu::DeviceBuffer<T>& buffer)
{
    host.resize(buffer.size());
    return cudaMemcpy(host.data(), buffer.get(), buffer.bytes(), cudaMemcpyDeviceToHost);
}

inline cudaError_t finish_launch()
{
    cudaError_t status = cudaGetLastError();
    return status == cudaSuccess ? cudaDeviceSynchronize() : status;
}

}  // namespace launch_support
