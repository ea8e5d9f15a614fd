// Which runtime errors leave the device unusable for the rest of the process.
#pragma once

#include "gpu/runtime.h"

namespace gpu {

// Errors after which the context is lost (a fault while a kernel ran, a watchdog timeout, an
// uncorrectable memory error): the runtime answers every later call of the process with the same
// error and cannot clear it, so only a new process can use the device again.
constexpr bool loses_context(cudaError_t error)
{
    switch (error) {
    case cudaErrorECCUncorrectable:
    case cudaErrorNvlinkUncorrectable:
    case cudaErrorIllegalAddress:
    case cudaErrorLaunchTimeout:
    case cudaErrorContextIsDestroyed:
    case cudaErrorAssert:
    case cudaErrorHardwareStackError:
    case cudaErrorIllegalInstruction:
    case cudaErrorMisalignedAddress:
    case cudaErrorInvalidAddressSpace:
    case cudaErrorInvalidPc:
    case cudaErrorLaunchFailure:
    case cudaErrorExternalDevice:
        return true;
    default:
        return false;
    }
}

}  // namespace gpu
