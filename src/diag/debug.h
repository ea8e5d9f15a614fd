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

// Reads (and thereby clears) the calling thread's pending CUDA error; reports it if there was one.
void crv_clear_cuda_errors(const char* label);

// Checks the result of one runtime call: true on success, else prints the error line.
inline bool crv_cuda_ok(cudaError_t code, const char* label)
{
    if (code == cudaSuccess) return true;
    crv_print_cuda_error(label, code);
    return false;
}
