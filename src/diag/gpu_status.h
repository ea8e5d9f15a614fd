// How a GPU failure travels: the first failed runtime call of a piece of work (selecting a card,
// building a buffer, a search), reported once where it happened and carried as this value up to the
// card's loop, which alone decides to go on, to take the card out or to end the process.
#pragma once

#include <string>

#include "diag/debug.h"
#include "gpu/device_error.h"

class GpuStatus {
public:
    // The one check of a call's result, as crv_cuda_ok reports it ("[ERR][label] text"); the first
    // failure is kept. True on success.
    bool check(cudaError_t code, const char* label) { return keep(crv_cuda_ok(code, label), code, label); }
    // The same for a call whose failure has a line of its own: `prefix` + the error text.
    bool check(cudaError_t code, const std::string& prefix, const char* label)
    {
        return keep(code == cudaSuccess || crv_cuda_check(code, prefix), code, label);
    }
    // Keeps a failure that was already reported.
    void fail(cudaError_t code, const char* label) { keep(false, code, label); }
    // Keeps `other`'s failure unless one is kept already.
    void take(const GpuStatus& other)
    {
        if (!other.ok()) keep(false, other.code_, other.label_.c_str());
    }

    bool ok() const { return code_ == cudaSuccess; }
    cudaError_t code() const { return code_; }
    const std::string& label() const { return label_; }
    // Nothing more can run on the device in this process.
    bool loses_context() const { return gpu::loses_context(code_); }
    std::string text() const { return cudaGetErrorString(code_); }

private:
    bool keep(bool succeeded, cudaError_t code, const char* label)
    {
        if (!succeeded && ok()) {
            code_ = code;
            label_ = label;
        }
        return succeeded;
    }

    cudaError_t code_ = cudaSuccess;
    std::string label_;
};
