// Kernel launches: every emulated thread of the grid runs the kernel body once, blocks spread over
// a small pool of host threads.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "gpu/emulator/state.h"

__thread uint3 blockIdx{0, 0, 0};
__thread uint3 threadIdx{0, 0, 0};
__thread uint3 blockDim{1, 1, 1};
__thread uint3 gridDim{1, 1, 1};

namespace emu {

void run_grid(dim3 grid, dim3 block, cudaStream_t stream, const std::function<void()>& body)
{
    State& s = state();
    int workers = 1;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        // The device is read through state.cpp, where it is defined: the sanitizers misread the
        // thread-local from here.
        const VirtualDevice& dev = device_of(s, device_of(nullptr));
        unsigned long long threads_per_block = 1ull * block.x * block.y * block.z;
        cudaError_t status = check_device(s);
        // A kernel goes to a stream of the current device only; copies may go to any.
        if (status == cudaSuccess && (!valid_stream(s, stream) || device_of(stream) != device_of(nullptr)))
            status = cudaErrorInvalidResourceHandle;
        if (status == cudaSuccess && !has_kernel_image(dev)) status = cudaErrorNoKernelImageForDevice;
        if (status == cudaSuccess &&
            (threads_per_block == 0 || grid.x == 0 || grid.y == 0 || grid.z == 0 ||
             threads_per_block > static_cast<unsigned long long>(dev.max_threads_per_block) ||
             grid.x > 0x7fffffffu || grid.y > 65535u || grid.z > 65535u))
            status = cudaErrorInvalidConfiguration;
        if (status == cudaSuccess) status = take_fault(s, Op::Launch);
        if (status != cudaSuccess) {
            fail(status);
            return;
        }
        ++s.launches;
        if (take_fault(s, Op::Hang) != cudaSuccess) s.hung.insert(device_of(nullptr));
        if (s.hung.count(device_of(nullptr)) != 0) return;  // a hung card runs nothing more
        cudaError_t kernel_fault = take_fault(s, Op::Kernel);
        if (kernel_fault != cudaSuccess) {
            s.async_error.emplace(device_of(nullptr), kernel_fault);  // the first one stays
            return;
        }
        workers = std::max(1, s.config.worker_threads);
    }

    const unsigned long long blocks = 1ull * grid.x * grid.y * grid.z;
    std::atomic<unsigned long long> next{0};
    auto worker = [&] {
        gridDim = uint3{grid.x, grid.y, grid.z};
        blockDim = uint3{block.x, block.y, block.z};
        for (unsigned long long b = next++; b < blocks; b = next++) {
            blockIdx = uint3{static_cast<unsigned>(b % grid.x), static_cast<unsigned>((b / grid.x) % grid.y),
                             static_cast<unsigned>(b / (1ull * grid.x * grid.y))};
            for (unsigned z = 0; z < block.z; ++z)
                for (unsigned y = 0; y < block.y; ++y)
                    for (unsigned x = 0; x < block.x; ++x) {
                        threadIdx = uint3{x, y, z};
                        body();
                    }
        }
    };
    const unsigned long long pool = std::min<unsigned long long>(static_cast<unsigned long long>(workers), blocks);
    std::vector<std::thread> threads;
    for (unsigned long long i = 1; i < pool; ++i) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
}

}  // namespace emu
