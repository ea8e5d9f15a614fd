// The checks of the chosen GPUs, shared by the normal start, the bench and the validation test
// mode: that they exist, and that this miner can run on them.
#pragma once

#include <string>
#include <vector>

// The oldest compute capability the miner supports.
constexpr int MIN_COMPUTE_MAJOR = 8;
constexpr int MIN_COMPUTE_MINOR = 0;

// True when `gpu` names an existing device. Otherwise writes on standard error `no_devices_line`
// when there is no device at all, one line naming the driver when the runtime cannot count the
// devices, or "❌ Error: GPU N not found!" and "   Available GPUs: 0 to M", and returns false.
bool gpuAvailable(int gpu, const std::string& no_devices_line);

// The cards to run on: those of `listed`, in its order, or with `all` every device. Empty, after
// the lines of gpuAvailable for the first listed card that does not exist, or with no device.
std::vector<int> availableGpus(const std::vector<int>& listed, bool all, const std::string& no_devices_line);

// Those of `gpus` that this miner can run on, in order. Each other card is refused with one line
// naming its index, name and compute capability: below 8.0, or without code in this build.
std::vector<int> minableGpus(const std::vector<int>& gpus);
