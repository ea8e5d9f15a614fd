// Owner of one page-locked host allocation, which asynchronous copies need to stay asynchronous:
// the destructor frees it.
#pragma once

#include <cstddef>

#include "diag/debug.h"
#include "gpu/runtime.h"

namespace gpu {

template <typename T>
class PinnedBuffer {
public:
    PinnedBuffer() = default;
    PinnedBuffer(const PinnedBuffer&) = delete;
    PinnedBuffer& operator=(const PinnedBuffer&) = delete;
    ~PinnedBuffer() { reset(); }

    // Allocates count elements, left uninitialised; on failure the buffer stays empty.
    cudaError_t allocate(size_t count)
    {
        reset();
        void* raw = nullptr;
        const cudaError_t status = cudaMallocHost(&raw, count * sizeof(T));
        if (status == cudaSuccess) ptr_ = static_cast<T*>(raw);
        return status;
    }

    void reset()
    {
        if (ptr_ != nullptr) crv_cuda_ok(cudaFreeHost(ptr_), "free pinned memory");
        ptr_ = nullptr;
    }

    T* get() const { return ptr_; }

private:
    T* ptr_ = nullptr;
};

}  // namespace gpu
