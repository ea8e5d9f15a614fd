#include "api/summary_json.h"

#include <nlohmann/json.hpp>

#include "miner/rate_history.h"

namespace {

using json = nlohmann::ordered_json;

json optional_number(const std::optional<double>& value)
{
    return value ? json(*value) : json(nullptr);
}

json rates_json(const CandidateRates& rates)
{
    return {{"10s", rates.last_10s}, {"60s", rates.last_60s}, {"15min", rates.last_15min}};
}

json solutions_json(const SolutionCounts& counts)
{
    return {{"found", counts.found}, {"submitted", counts.submitted}, {"failed_verification", counts.failed_verification}};
}

json card_json(const CardSnapshot& card)
{
    const CardTelemetry& t = card.telemetry;
    return {{"index", card.index},
            {"name", card.name},
            {"pci_bus_id", card.pci_bus_id},
            {"state", card_state_name(card.state)},
            {"leaf_mode", card.leaf_mode},
            {"candidates", card.candidates},
            {"solutions", solutions_json(card.solutions)},
            {"last_build_s", optional_number(card.last_build_s)},
            {"rates", rates_json(card.rates)},
            {"history", card.history},
            {"telemetry",
             {{"core_temperature_c", optional_number(t.core_temperature_c)},
              {"memory_temperature_c", optional_number(t.memory_temperature_c)},
              {"power_w", optional_number(t.power_w)},
              {"fan_percent", optional_number(t.fan_percent)},
              {"sm_clock_mhz", optional_number(t.sm_clock_mhz)},
              {"memory_clock_mhz", optional_number(t.memory_clock_mhz)},
              {"candidates_per_joule", optional_number(t.candidates_per_joule)}}}};
}

}  // namespace

std::string summaryJson(const MinerSnapshot& s, std::uint64_t sequence)
{
    json puzzle = nullptr;
    if (s.puzzle) puzzle = {{"short_id", s.puzzle->short_id}, {"block", s.puzzle->block}, {"since", s.puzzle->since}};
    json cards = json::array();
    for (const CardSnapshot& card : s.cards) cards.push_back(card_json(card));
    const json summary = {
        {"version", s.version},
        {"sequence", sequence},
        {"started_at", s.started_at},
        {"taken_at", s.taken_at},
        {"uptime_s", s.taken_at > s.started_at ? s.taken_at - s.started_at : 0.0},
        {"stopping", s.stopping},
        {"bridge", {{"address", s.bridge.address}, {"connected", s.bridge.connected}, {"reconnects", s.bridge.reconnects}}},
        {"puzzle", puzzle},
        {"totals",
         {{"candidates", s.candidates()},
          {"solutions", solutions_json(s.solutions())},
          {"verdicts",
           {{"received", s.verdicts.received}, {"accepted", s.verdicts.accepted}, {"rejected", s.verdicts.rejected}}}}},
        {"rates", rates_json(s.rates())},
        {"history_step_s", RateHistory::STEP.count()},
        {"gpus", cards}};
    // Text from outside (a card's name) may hold bytes that are not UTF-8: replaced, never thrown.
    return summary.dump(-1, ' ', false, json::error_handler_t::replace);
}
