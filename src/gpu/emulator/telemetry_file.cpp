// The emulated cards' sensors: the file CRV_EMU_TELEMETRY names, read again at every sample so a
// test can heat and cool a card while the miner runs. One line per device:
// "DEVICE temp=C mem_temp=C power_w=W fan_pct=P sm_mhz=M mem_mhz=M"; a field left out is not known.
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "gpu/telemetry.h"

namespace {

class TelemetryFile : public TelemetrySource {
public:
    explicit TelemetryFile(std::string path) : path_(std::move(path)) {}

    TelemetryReading read(int device, const std::string&) override
    {
        TelemetryReading reading;
        std::ifstream in(path_);
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            int number = -1;
            if (!(words >> number) || number != device) continue;
            const std::map<std::string, std::optional<double>*> fields = {
                {"temp", &reading.core_temperature_c}, {"mem_temp", &reading.memory_temperature_c},
                {"power_w", &reading.power_w},         {"fan_pct", &reading.fan_percent},
                {"sm_mhz", &reading.sm_clock_mhz},     {"mem_mhz", &reading.memory_clock_mhz}};
            for (std::string word; words >> word;) {
                const size_t at = word.find('=');
                const auto field = at == std::string::npos ? fields.end() : fields.find(word.substr(0, at));
                if (field != fields.end()) *field->second = std::strtod(word.c_str() + at + 1, nullptr);
            }
        }
        return reading;
    }

private:
    const std::string path_;
};

}  // namespace

std::unique_ptr<TelemetrySource> open_telemetry(std::string& why)
{
    const char* path = std::getenv("CRV_EMU_TELEMETRY");
    if (path == nullptr || *path == '\0') {
        why = "no CRV_EMU_TELEMETRY file";
        return nullptr;
    }
    return std::make_unique<TelemetryFile>(path);
}
