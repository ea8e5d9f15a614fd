// The CRV_DEBUG switch and the labelled CUDA error lines.
//   error line (standard error, always):   "[ERR][" label "] " cudaGetErrorString(code)
//   debug line (standard output, if on):   "[DBG] " message
#pragma once

#include <string>

#include "gpu/runtime.h"

// On when CRV_DEBUG is set and its first character is neither the end of the text nor '0'.
// Read once; later changes of the environment have no effect.
bool crv_debug_runtime_enabled();

// Decides the switch from a CRV_DEBUG value (null when unset).
bool crv_debug_value_enables(const char* value);

void crv_print_cuda_error(const char* label, cudaError_t code);
void crv_debug_line(const std::string& message);

// The one check of a runtime call's result: true on success. Otherwise prints `prefix` and the
// error text as one line on standard error, reads away the error the failed call left pending (so
// it cannot fail a later check) and returns false.
bool crv_cuda_check(cudaError_t code, const std::string& prefix);

// The same check in the error-line format.
inline bool crv_cuda_ok(cudaError_t code, const char* label)
{
    return code == cudaSuccess || crv_cuda_check(code, std::string("[ERR][") + label + "] ");
}

// Reads (and thereby clears) the calling thread's pending CUDA error; reports it if there was one.
inline void crv_clear_cuda_errors(const char* label)
{
    crv_cuda_ok(cudaGetLastError(), label);
}
