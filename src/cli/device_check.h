// The check that the chosen GPUs exist, shared by the normal start, the bench and the validation
// test mode.
#pragma once

#include <string>
#include <vector>

// True when `gpu` names an existing device. Otherwise writes on standard error `no_devices_line`
// when there is no device at all, or "❌ Error: GPU N not found!" and "   Available GPUs: 0 to M",
// and returns false.
bool gpuAvailable(int gpu, const std::string& no_devices_line);

// The cards to run on: those of `listed`, in its order, or with `all` every device. Empty, after
// the lines of gpuAvailable for the first listed card that does not exist, or with no device.
std::vector<int> availableGpus(const std::vector<int>& listed, bool all, const std::string& no_devices_line);
