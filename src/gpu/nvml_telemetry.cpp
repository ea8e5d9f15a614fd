// NVML, opened with dlopen: the versioned name, since containers carry only libnvidia-ml.so.1. The
// few types and entry points used are declared here as NVML documents them.
#if !defined(CRV_EMULATOR)
#include <dlfcn.h>

#include <vector>

#include "gpu/telemetry.h"

namespace {

using nvmlReturn_t = int;
using nvmlDevice_t = struct nvmlDevice_st*;
constexpr nvmlReturn_t NVML_SUCCESS = 0;
constexpr int NVML_TEMPERATURE_GPU = 0;
constexpr int NVML_CLOCK_SM = 1;
constexpr int NVML_CLOCK_MEM = 2;
constexpr unsigned int NVML_FI_DEV_MEMORY_TEMP = 82;

struct nvmlPciInfo_t {
    char busIdLegacy[16];
    unsigned int domain, bus, device, pciDeviceId, pciSubSystemId;
    char busId[32];
};

enum nvmlValueType_t { DOUBLE, UNSIGNED_INT, UNSIGNED_LONG, UNSIGNED_LONG_LONG, SIGNED_LONG_LONG, SIGNED_INT };
union nvmlValue_t {
    double dVal;
    unsigned int uiVal;
    unsigned long ulVal;
    unsigned long long ullVal;
    long long sllVal;
    int siVal;
};
struct nvmlFieldValue_t {
    unsigned int fieldId;
    unsigned int scopeId;
    long long timestamp;
    long long latencyUsec;
    nvmlValueType_t valueType;
    nvmlReturn_t nvmlReturn;
    nvmlValue_t value;
};

double field_number(const nvmlFieldValue_t& field)
{
    switch (field.valueType) {
    case DOUBLE: return field.value.dVal;
    case UNSIGNED_INT: return field.value.uiVal;
    case UNSIGNED_LONG: return static_cast<double>(field.value.ulVal);
    case UNSIGNED_LONG_LONG: return static_cast<double>(field.value.ullVal);
    case SIGNED_LONG_LONG: return static_cast<double>(field.value.sllVal);
    case SIGNED_INT: return field.value.siVal;
    }
    return 0;
}

class Nvml : public TelemetrySource {
public:
    // Empty `why` on success.
    explicit Nvml(std::string& why)
    {
        library_ = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
        if (library_ == nullptr) {
            why = "libnvidia-ml.so.1 cannot be loaded";
            return;
        }
        const bool found = bind(init_, "nvmlInit_v2") && bind(shutdown_, "nvmlShutdown") &&
                           bind(count_, "nvmlDeviceGetCount_v2") && bind(by_index_, "nvmlDeviceGetHandleByIndex_v2") &&
                           bind(pci_info_, "nvmlDeviceGetPciInfo_v3") && bind(temperature_, "nvmlDeviceGetTemperature") &&
                           bind(power_, "nvmlDeviceGetPowerUsage") && bind(fan_, "nvmlDeviceGetFanSpeed") &&
                           bind(clock_, "nvmlDeviceGetClockInfo") && bind(fields_, "nvmlDeviceGetFieldValues");
        if (!found) {
            why = "libnvidia-ml.so.1 lacks an entry point the miner needs";
        } else if (init_() != NVML_SUCCESS) {
            why = "NVML did not start";
        } else {
            started_ = true;
            unsigned int count = 0;
            if (count_(&count) != NVML_SUCCESS) count = 0;
            for (unsigned int i = 0; i < count; ++i) {
                nvmlDevice_t device = nullptr;
                nvmlPciInfo_t pci{};
                if (by_index_(i, &device) == NVML_SUCCESS && pci_info_(device, &pci) == NVML_SUCCESS)
                    cards_.push_back({pci.busId, device});
            }
        }
    }
    ~Nvml() override
    {
        if (started_) shutdown_();
        if (library_ != nullptr) dlclose(library_);
    }
    bool started() const { return started_; }

    TelemetryReading read(int, const std::string& pci_bus_id) override
    {
        TelemetryReading reading;
        nvmlDevice_t device = nullptr;
        for (const Card& card : cards_)
            if (same_pci_bus_id(card.bus_id, pci_bus_id)) device = card.device;
        if (device == nullptr) return reading;
        unsigned int value = 0;
        if (temperature_(device, NVML_TEMPERATURE_GPU, &value) == NVML_SUCCESS) reading.core_temperature_c = value;
        if (power_(device, &value) == NVML_SUCCESS) reading.power_w = value / 1000.0;  // milliwatts
        if (fan_(device, &value) == NVML_SUCCESS) reading.fan_percent = value;         // cards without fans: none
        if (clock_(device, NVML_CLOCK_SM, &value) == NVML_SUCCESS) reading.sm_clock_mhz = value;
        if (clock_(device, NVML_CLOCK_MEM, &value) == NVML_SUCCESS) reading.memory_clock_mhz = value;
        // Only a field value; GDDR6X and HBM cards report it, many GDDR6 cards do not.
        nvmlFieldValue_t memory{};
        memory.fieldId = NVML_FI_DEV_MEMORY_TEMP;
        if (fields_(device, 1, &memory) == NVML_SUCCESS && memory.nvmlReturn == NVML_SUCCESS &&
            field_number(memory) > 0)
            reading.memory_temperature_c = field_number(memory);
        return reading;
    }

private:
    struct Card {
        std::string bus_id;
        nvmlDevice_t device;
    };

    template <typename Function>
    bool bind(Function*& function, const char* name)
    {
        function = reinterpret_cast<Function*>(dlsym(library_, name));
        return function != nullptr;
    }

    void* library_ = nullptr;
    bool started_ = false;
    std::vector<Card> cards_;
    nvmlReturn_t (*init_)() = nullptr;
    nvmlReturn_t (*shutdown_)() = nullptr;
    nvmlReturn_t (*count_)(unsigned int*) = nullptr;
    nvmlReturn_t (*by_index_)(unsigned int, nvmlDevice_t*) = nullptr;
    nvmlReturn_t (*pci_info_)(nvmlDevice_t, nvmlPciInfo_t*) = nullptr;
    nvmlReturn_t (*temperature_)(nvmlDevice_t, int, unsigned int*) = nullptr;
    nvmlReturn_t (*power_)(nvmlDevice_t, unsigned int*) = nullptr;
    nvmlReturn_t (*fan_)(nvmlDevice_t, unsigned int*) = nullptr;
    nvmlReturn_t (*clock_)(nvmlDevice_t, int, unsigned int*) = nullptr;
    nvmlReturn_t (*fields_)(nvmlDevice_t, int, nvmlFieldValue_t*) = nullptr;
};

}  // namespace

std::unique_ptr<TelemetrySource> open_telemetry(std::string& why)
{
    auto nvml = std::make_unique<Nvml>(why);
    if (!nvml->started()) return nullptr;
    return nvml;
}
#endif
