#include "cli/options.h"

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
            const std::string& text = args[++i];
            try {
                s.gpu = std::stoi(text);
            } catch (const std::exception& error) {
                return failure(scan, conversionFailure("--gpu", text, error));
            }
            if (s.gpu < 0) return failure(scan, "Invalid --gpu value: " + std::to_string(s.gpu) + " (must be >= 0)");
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
            const int kernel = choice_of(text, {{"fast", int(MiningKernel::fast)}, {"reference", int(MiningKernel::reference)}});
            if (kernel < 0) return failure(scan, "Invalid --kernel value: " + text + " (fast or reference)");
            s.bench_kernel = static_cast<MiningKernel>(kernel);
        } else if (word == "--leaves" && has_value) {
            const std::string& text = args[++i];
            const int leaves = choice_of(text, {{"auto", int(LeafStorage::Auto)},
                                                {"stored", int(LeafStorage::Stored)},
                                                {"computed", int(LeafStorage::Computed)}});
            if (leaves < 0) return failure(scan, "Invalid --leaves value: " + text + " (auto, stored or computed)");
            s.bench_leaves = static_cast<LeafStorage>(leaves);
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
           "  --gpu ID           Select GPU device ID (0, 1, 2, ..., default: 0)\n"
           "  --help             Show this help message\n"
           "\n"
           "This miner connects directly to the Corvane miner bridge.\n"
           "Make sure the miner bridge is running with:\n"
           "  cd corvane-core && cargo run --bin miner-bridge -- --once=false --print-json --auto-start-mining\n"
           "\n"
           "Bench (no bridge): a synthetic puzzle's buffer is built, then mined and every hit checked:\n"
           "  --bench            Build, mine for a while, report build time and rates\n"
           "  --seconds N        Mining time of the bench (default: 20)\n"
           "  --kernel K         Kernel of the bench: fast or reference (default: fast)\n"
           "  --leaves L         Leaves of the bench: auto, stored or computed (default: auto)\n";
}
