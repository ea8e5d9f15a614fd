// The check that the chosen GPU exists, shared by the normal start and the validation test mode.
#pragma once

#include <string>

// True when `gpu` names an existing device. Otherwise writes on standard error `no_devices_line`
// when there is no device at all, or "❌ Error: GPU N not found!" and "   Available GPUs: 0 to M",
// and returns false.
bool gpuAvailable(int gpu, const std::string& no_devices_line);
