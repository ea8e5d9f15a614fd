// Owner of one device allocation: the destructor frees it, a moved-from owner frees nothing.
#pragma once

#include <cstddef>
#include <utility>

#include "diag/debug.h"
#include "gpu/runtime.h"

namespace gpu {

template <typename T>
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    DeviceBuffer(DeviceBuffer&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)), count_(other.count_) {}
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept
    {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
            count_ = other.count_;
        }
        return *this;
    }
    ~DeviceBuffer() { reset(); }

    // Allocates count elements; on failure the buffer stays empty and the code is returned.
    cudaError_t allocate(size_t count)
    {
        reset();
        void* raw = nullptr;
        cudaError_t status = cudaMalloc(&raw, count * sizeof(T));
        if (status == cudaSuccess) {
            ptr_ = static_cast<T*>(raw);
            count_ = count;
        }
        return status;
    }

    void reset()
    {
        if (ptr_ != nullptr) crv_cuda_ok(cudaFree(ptr_), "free device memory");
        ptr_ = nullptr;
        count_ = 0;
    }

    T* get() const { return ptr_; }
    size_t size() const { return count_; }
    size_t bytes() const { return count_ * sizeof(T); }
    explicit operator bool() const { return ptr_ != nullptr; }

    // Gives up ownership.
    T* release()
    {
        count_ = 0;
        return std::exchange(ptr_, nullptr);
    }

private:
    T* ptr_ = nullptr;
    size_t count_ = 0;
};

}  // namespace gpu
