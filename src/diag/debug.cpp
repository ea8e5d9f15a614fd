#include "diag/debug.h"

#include <cstdlib>
#include <iostream>

#include "diag/console_line.h"

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
    print_parts(std::cerr, "[ERR][", label, "] ", cudaGetErrorString(code));
}

void crv_debug_line(const std::string& message)
{
    if (crv_debug_runtime_enabled()) print_line(std::cout, "[DBG] " + message);
}

bool crv_cuda_check(cudaError_t code, const std::string& prefix)
{
    if (code == cudaSuccess) return true;
    cudaGetLastError();
    print_line(std::cerr, prefix + cudaGetErrorString(code));
    return false;
}
