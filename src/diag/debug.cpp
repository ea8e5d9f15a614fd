#include "diag/debug.h"

#include <cstdlib>
#include <iostream>

bool crv_debug_value_enables(const char* value)
{
    return value != nullptr && value[0] != '\0' && value[0] != '0';
}

bool crv_debug_runtime_enabled()
{
    static const bool enabled = crv_debug_value_enables(std::getenv("CRV_DEBUG"));
    return enabled;
}

void crv_print_cuda_error(const char* label, cudaError_t code)
{
    std::cerr << "[ERR][" << label << "] " << cudaGetErrorString(code) << std::endl;
}

void crv_debug_line(const std::string& message)
{
    if (crv_debug_runtime_enabled()) std::cout << "[DBG] " << message << std::endl;
}

void crv_clear_cuda_errors(const char* label)
{
    cudaError_t code = cudaGetLastError();
    if (code != cudaSuccess) crv_print_cuda_error(label, code);
}
