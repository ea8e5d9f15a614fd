// Tests of device code: on a fresh emulator in the host build, on the first GPU in the GPU check.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/runtime.h"

class DeviceTest : public testing::Test {
protected:
    void SetUp() override
    {
#if defined(CRV_EMULATOR)
        emu::configure(emu::Config{});
#else
        int count = 0;
        if (cudaGetDeviceCount(&count) != cudaSuccess || count == 0) GTEST_SKIP() << "no CUDA device";
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
#endif
    }
};

namespace support {

template <typename T>
gpu::DeviceBuffer<T> to_device(const std::vector<T>& host)
{
    gpu::DeviceBuffer<T> device;
    EXPECT_EQ(device.allocate(host.size()) | cudaMemcpy(device.get(), host.data(), device.bytes(), cudaMemcpyHostToDevice), 0);
    return device;
}

template <typename T>
std::vector<T> to_host(const T* device, size_t count)
{
    std::vector<T> host(count);
    EXPECT_EQ(cudaMemcpy(host.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
}

// Waits for the launch just made: its launch error, else the error of its run.
inline cudaError_t finish_launch() { const cudaError_t s = cudaGetLastError(); return s ? s : cudaDeviceSynchronize(); }

}  // namespace support
