// What a card's sensors say, read once a second: NVML in the product (loaded at run time, so the
// miner needs no NVML to build or to run), the emulator's telemetry file in the emulated build.
#pragma once

#include <memory>
#include <optional>
#include <string>

struct TelemetryReading {
    std::optional<double> core_temperature_c;
    std::optional<double> memory_temperature_c;  // memory junction, where the card reports it
    std::optional<double> power_w;
    std::optional<double> fan_percent;
    std::optional<double> sm_clock_mhz;
    std::optional<double> memory_clock_mhz;
};

class TelemetrySource {
public:
    virtual ~TelemetrySource() = default;
    // The card of CUDA device `device` at `pci_bus_id`; what it cannot tell stays empty.
    virtual TelemetryReading read(int device, const std::string& pci_bus_id) = 0;
};

// The build's source, or nullptr with `why` when there is none (no NVML, no telemetry file).
std::unique_ptr<TelemetrySource> open_telemetry(std::string& why);

// CUDA writes a bus id "0000:0D:00.0", NVML "00000000:0d:00.0": the same card when they match
// with the domain read as a number and letters in either case.
bool same_pci_bus_id(const std::string& a, const std::string& b);
