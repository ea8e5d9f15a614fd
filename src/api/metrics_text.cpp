#include "api/metrics_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

std::string number(double value)
{
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;  // shortest exact form
    return std::string(text, end);
}

std::string number(std::uint64_t value)
{
    return std::to_string(value);
}

// A label value: backslash, double quote and line feed escaped.
std::string quoted(const std::string& value)
{
    std::string text = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"') text += '\\';
        text += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return text + "\"";
}

// One metric: its HELP and TYPE lines, then its samples; a metric without samples is left out.
class Family {
public:
    Family(std::string name, const char* type, const char* help) : name_(std::move(name)), type_(type), help_(help) {}

    Family& sample(const std::vector<std::pair<const char*, std::string>>& labels, const std::string& value)
    {
        std::string line = name_;
        for (size_t i = 0; i < labels.size(); ++i)
            line += (i == 0 ? "{" : ",") + std::string(labels[i].first) + "=" + quoted(labels[i].second);
        samples_ += line + (labels.empty() ? " " : "} ") + value + "\n";
        return *this;
    }

    void write_to(std::string& text) const
    {
        if (samples_.empty()) return;
        text += "# HELP " + name_ + " " + help_ + "\n# TYPE " + name_ + " " + type_ + "\n" + samples_;
    }

private:
    std::string name_;
    const char* type_;
    const char* help_;
    std::string samples_;
};

}  // namespace

std::string metricsText(const MinerSnapshot& s)
{
    Family candidates("corvane_candidates_total", "counter", "Nonce candidates tried, per GPU.");
    Family solutions("corvane_solutions_total", "counter",
                     "Solutions per GPU: found (passed the host check), submitted to the bridge, failed_verification.");
    Family up("corvane_gpu_up", "gauge", "1 while the GPU mines or builds its guesser buffer, 0 otherwise.");
    Family build("corvane_buffer_build_seconds", "gauge", "Build time of the GPU's last guesser buffer.");
    Family temperature("corvane_gpu_temperature_celsius", "gauge", "GPU temperature, per sensor (core, memory).");
    Family power("corvane_gpu_power_watts", "gauge", "GPU power draw.");
    Family fan("corvane_gpu_fan_ratio", "gauge", "GPU fan speed, 0 to 1.");
    Family clock("corvane_gpu_clock_hertz", "gauge", "GPU clocks (sm, memory).");
    Family efficiency("corvane_gpu_candidates_per_joule", "gauge", "Candidates tried per joule over the last 10 s.");
    for (const CardSnapshot& card : s.cards) {
        const std::string gpu = std::to_string(card.index);
        candidates.sample({{"gpu", gpu}}, number(card.candidates));
        solutions.sample({{"gpu", gpu}, {"result", "found"}}, number(card.solutions.found))
            .sample({{"gpu", gpu}, {"result", "submitted"}}, number(card.solutions.submitted))
            .sample({{"gpu", gpu}, {"result", "failed_verification"}}, number(card.solutions.failed_verification));
        const bool working = card.state == CardState::mining || card.state == CardState::building;
        up.sample({{"gpu", gpu}}, working ? "1" : "0");
        if (card.last_build_s) build.sample({{"gpu", gpu}}, number(*card.last_build_s));
        const CardTelemetry& t = card.telemetry;
        if (t.core_temperature_c) temperature.sample({{"gpu", gpu}, {"sensor", "core"}}, number(*t.core_temperature_c));
        if (t.memory_temperature_c)
            temperature.sample({{"gpu", gpu}, {"sensor", "memory"}}, number(*t.memory_temperature_c));
        if (t.power_w) power.sample({{"gpu", gpu}}, number(*t.power_w));
        if (t.fan_percent) fan.sample({{"gpu", gpu}}, number(*t.fan_percent / 100));
        if (t.sm_clock_mhz) clock.sample({{"gpu", gpu}, {"clock", "sm"}}, number(*t.sm_clock_mhz * 1e6));
        if (t.memory_clock_mhz) clock.sample({{"gpu", gpu}, {"clock", "memory"}}, number(*t.memory_clock_mhz * 1e6));
        if (t.candidates_per_joule) efficiency.sample({{"gpu", gpu}}, number(*t.candidates_per_joule));
    }
    Family verdicts("corvane_bridge_verdicts_total", "counter",
                    "The bridge's verdicts on sent solutions: accepted, rejected, other (not classified).");
    verdicts.sample({{"result", "accepted"}}, number(s.verdicts.accepted))
        .sample({{"result", "rejected"}}, number(s.verdicts.rejected))
        .sample({{"result", "other"}}, number(s.verdicts.received - std::min(s.verdicts.received,
                                                                             s.verdicts.accepted + s.verdicts.rejected)));

    std::string text;
    for (const Family* family : {&candidates, &solutions})
        family->write_to(text);
    Family("corvane_bridge_reconnects_total", "counter", "Connections to the bridge made again after a loss.")
        .sample({}, number(s.bridge.reconnects))
        .write_to(text);
    verdicts.write_to(text);
    Family("corvane_bridge_connected", "gauge", "1 while the bridge connection is up.")
        .sample({}, s.bridge.connected ? "1" : "0")
        .write_to(text);
    for (const Family* family : {&up, &build, &temperature, &power, &fan, &clock, &efficiency})
        family->write_to(text);
    Family("corvane_build_info", "gauge", "Always 1; the miner's version in a label.")
        .sample({{"version", s.version}}, "1")
        .write_to(text);
    Family("corvane_start_time_seconds", "gauge", "Start of the miner process, Unix time in seconds.")
        .sample({}, number(s.started_at))
        .write_to(text);
    return text;
}
