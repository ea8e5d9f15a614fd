// Selecting a card on the thread that works for it.
#pragma once

#include "diag/gpu_status.h"

// Makes `gpu` the calling thread's device. Its host waits then sleep on a synchronisation primitive
// instead of spinning, so the few CPU cores of a rig stay free for the fetcher and the system. A
// failed selection comes back in the status; a card that keeps spinning only costs CPU and is
// reported.
GpuStatus use_card(int gpu);
