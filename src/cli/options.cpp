#include "cli/options.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <stdexcept>

#include "hash/field.h"

namespace {

constexpr int PORT_MIN = 1;
constexpr int PORT_MAX = 65535;

OptionScan failure(OptionScan scan, const std::string& line)
{
    scan.action = StartupAction::Fail;
    scan.error = line;
    scan.exit_status = 1;
    return scan;
}

std::string conversionFailure(const char* option, const std::string& text, const std::exception& error)
{
    return std::string("Invalid ") + option + " value: " + text + " (" + error.what() + ")";
}

struct Choice {
    const char* word;
    int value;
};

// The value whose word is `text`, or -1.
int choice_of(const std::string& text, std::initializer_list<Choice> choices)
{
    for (const Choice& choice : choices)
        if (text == choice.word) return choice.value;
    return -1;
}

// Reads --gpu's value into `s`: "all", or indices separated by commas. A single index is read as
// std::stoi reads it (" +1.9" is 1); an entry of a list must be a whole index, so that a slip such
// as "0,1.2" cannot leave a card out unnoticed. Returns the error line, empty on success.
std::string read_gpus(const std::string& text, StartupSettings& s)
{
    if (text == "all") {
        s.gpu = 0;
        s.gpus.clear();
        s.all_gpus = true;
        return "";
    }
    const bool list = text.find(',') != std::string::npos;
    std::vector<int> gpus;
    for (size_t from = 0; from <= text.size();) {
        const size_t comma = std::min(text.find(',', from), text.size());
        const std::string entry = text.substr(from, comma - from);
        from = comma + 1;
        if (list && entry.empty()) return "Invalid --gpu value: " + text + " (an empty entry)";
        int gpu = 0;
        size_t used = 0;
        try {
            gpu = std::stoi(entry, &used);
        } catch (const std::exception& error) {
            return conversionFailure("--gpu", text, error);
        }
        if (gpu < 0) return "Invalid --gpu value: " + (list ? text : std::to_string(gpu)) + " (must be >= 0)";
        if (list && used != entry.size())
            return "Invalid --gpu value: " + text + " (" + entry + " is not a device index)";
        if (std::find(gpus.begin(), gpus.end(), gpu) != gpus.end())
            return "Invalid --gpu value: " + text + " (GPU " + std::to_string(gpu) + " is listed twice)";
        gpus.push_back(gpu);
    }
    s.gpu = gpus.front();
    s.gpus = gpus;
    s.all_gpus = false;
    return "";
}

}  // namespace

OptionScan scanStartupOptions(const std::vector<std::string>& args, uint64_t nonces_per_range)
{
    // A nonce's counter is a field element: range K must end below p, and K * range must not wrap.
    const uint64_t ranges_below_p = nonces_per_range == 0 ? 0 : field::P / nonces_per_range;
    OptionScan scan;
    StartupSettings& s = scan.settings;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& word = args[i];
        const bool has_value = i + 1 < args.size();
        if (word == "--host" && has_value) {
            s.host = args[++i];
        } else if (word == "--port" && has_value) {
            const std::string& text = args[++i];
            int port = 0;
            try {
                port = std::stoi(text);
            } catch (const std::exception& error) {  // invalid_argument or out_of_range, both "stoi"
                return failure(scan, conversionFailure("--port", text, error));
            }
            // A TCP port: anything else would connect to the low 16 bits of the number.
            if (port < PORT_MIN || port > PORT_MAX)
                return failure(scan, "Invalid --port value: " + text + " (out of range)");
            s.port = port;
        } else if (word == "--nonce-offset" && has_value) {
            const std::string& text = args[++i];
            try {
                s.nonce_offset = std::stoull(text, nullptr, 0);
                s.nonce_offset_given = true;
            } catch (const std::exception& error) {
                return failure(scan, conversionFailure("--nonce-offset", text, error));
            }
            if (s.nonce_offset >= ranges_below_p)
                return failure(scan, "Invalid --nonce-offset value: " + text +
                                         " (its nonces would reach the field modulus p; the largest range index is " +
                                         std::to_string(ranges_below_p - 1) + ")");
        } else if (word == "--gpu" && has_value) {
            const std::string error = read_gpus(args[++i], s);
            if (!error.empty()) return failure(scan, error);
        } else if (word == "--seconds" && has_value) {
            const std::string& text = args[++i];
            try {
                s.bench_seconds = std::stoi(text);
            } catch (const std::exception& error) {
                return failure(scan, conversionFailure("--seconds", text, error));
            }
            if (s.bench_seconds < 1)
                return failure(scan, "Invalid --seconds value: " + std::to_string(s.bench_seconds) + " (must be >= 1)");
        } else if (word == "--kernel" && has_value) {
            const std::string& text = args[++i];
            const int kernel = choice_of(text, {{"fast", int(MiningKernel::fast)}, {"previous", int(MiningKernel::previous)},
                                                {"reference", int(MiningKernel::reference)},
                                                {"compact", int(MiningKernel::compact)}});
            if (kernel < 0) return failure(scan, "Invalid --kernel value: " + text + " (fast, compact, previous or reference)");
            s.bench_kernel = static_cast<MiningKernel>(kernel);
        } else if (word == "--leaves" && has_value) {
            const std::string& text = args[++i];
            const std::string share = text.rfind("partial:", 0) == 0 ? text.substr(8) : "";
            const int leaves = choice_of(share.empty() ? text : "partial", {{"auto", int(LeafStorage::Auto)},
                                                                            {"stored", int(LeafStorage::Stored)},
                                                                            {"computed", int(LeafStorage::Computed)},
                                                                            {"partial", int(LeafStorage::Partial)}});
            char* end = nullptr;
            const double fraction = share.empty() ? 0 : std::strtod(share.c_str(), &end);
            if (leaves < 0 || (!share.empty() && (*end != '\0' || !(fraction > 0 && fraction < 1))))
                return failure(scan, "Invalid --leaves value: " + text +
                                         " (auto, stored, computed, partial or partial:F with 0 < F < 1)");
            s.bench_leaves = static_cast<LeafStorage>(leaves);
            s.bench_stored_share = fraction;
        } else if (word == "--api" && has_value) {
            const std::string error = readApiAddress(args[++i], s.api);
            if (!error.empty()) return failure(scan, error);
        } else if (word == "--api-token" && has_value) {
            const std::string& token = args[++i];
            // It travels in a header line: visible ASCII, no spaces.
            const bool visible = std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 127; });
            if (token.empty() || !visible)
                return failure(scan, "Invalid --api-token value (one or more visible ASCII characters, no spaces)");
            s.api.token = token;
        } else if (word == "--log-file" && has_value) {
            s.log_file = args[++i];
        } else if (word == "--temp-limit" && has_value) {
            const std::string& text = args[++i];
            try {
                s.temp_limit = std::stoi(text);
            } catch (const std::exception& error) {
                return failure(scan, conversionFailure("--temp-limit", text, error));
            }
            if (s.temp_limit < 30 || s.temp_limit > 120)
                return failure(scan, "Invalid --temp-limit value: " + text + " (30 to 120 °C)");
        } else if (word == "--bench") {
            scan.action = StartupAction::Bench;
        } else if (word == "--test") {
            scan.action = StartupAction::RunTest;
            return scan;
        } else if (word == "--help") {
            scan.action = StartupAction::ShowHelp;
            return scan;
        }
    }
    if (scan.action == StartupAction::Mine) {
        const std::string error = apiSettingsError(s.api);
        if (!error.empty()) return failure(scan, error);
    }
    return scan;
}

std::string helpText(const std::string& program_name)
{
    return "Usage: " + program_name + " [options]\n"
           "Options:\n"
           "  --test             Run validation test against Rust implementation\n"
           "  --host HOST        Miner bridge host (default: 127.0.0.1)\n"
           "  --port PORT        Miner bridge port (default: 5002)\n"
           "  --nonce-offset K   Set range index (start = K * max_nonces, default: 0)\n"
           "  --gpu ID[,ID...]   Select GPU device IDs (0, 1, 2, ... or all; default: 0)\n"
           "  --help             Show this help message\n"
           "\n"
           "This miner connects directly to the Corvane miner bridge.\n"
           "Make sure the miner bridge is running with:\n"
           "  cd corvane-core && cargo run --bin miner-bridge -- --once=false --print-json --auto-start-mining\n"
           "\n"
           "Bench (no bridge): a synthetic puzzle's buffer is built, then mined and every hit checked:\n"
           "  --bench            Build, mine for a while, report build time and rates\n"
           "  --seconds N        Mining time of the bench (default: 20)\n"
           "  --kernel K         Kernel of the bench: fast, compact, previous or reference (default: fast)\n"
           "  --leaves L         Leaves of the bench: auto, stored, computed, partial or partial:F (default: auto)\n"
           "\n"
           "HTTP API while mining (JSON /summary, Prometheus /metrics, /health, dashboard /):\n"
           "  --api HOST:PORT    Listen there (default: 127.0.0.1:5003), or off\n"
           "  --api-token TOKEN  Every request needs Authorization: Bearer TOKEN (a must beyond loopback)\n"
           "\n"
           "Guarding the cards:\n"
           "  --log-file PATH    Append every line there too, with its time; SIGHUP reopens it\n"
           "  --temp-limit C     Pause a card whose core or memory reaches C °C, resume it 10 °C below\n";
}
