#include "bridge/solution_submission.h"

#include <iostream>

#include "bridge/client.h"
#include "bridge/console_line.h"
#include "bridge/text_prefix.h"

nlohmann::json solution_message(const std::string& proposal_id, const std::string& root,
                                const std::vector<std::string>& path_a,
                                const std::vector<std::string>& path_b, const std::string& nonce)
{
    nlohmann::json pow = nlohmann::json::object();
    pow["root"] = root;
    pow["path_a"] = path_a;
    pow["path_b"] = path_b;
    pow["nonce"] = nonce;

    nlohmann::json solution = nlohmann::json::object();
    solution["proposal_id"] = proposal_id;
    solution["pow"] = std::move(pow);

    nlohmann::json message = nlohmann::json::object();
    message["SubmitSolution"] = std::move(solution);
    return message;
}

SubmissionResult submitPowSolutionToBridge(const std::string& proposal_id, const std::string& root,
                                           const std::vector<std::string>& path_a,
                                           const std::vector<std::string>& path_b,
                                           const std::string& nonce)
{
    SubmissionResult result;
    if (!g_corvane_miner_client) {
        result.message = "Corvane miner client not initialized";
        return result;
    }
    const nlohmann::json message = solution_message(proposal_id, root, path_a, path_b, nonce);
    result.request_json = message.dump();

    print_line(std::cout, "📤 Submitting POW solution to miner bridge...");
    print_line(std::cout, "📤 Proposal ID: " + text_prefix(proposal_id, 16) + "...");
    if (g_corvane_miner_client->send_message(message)) {
        print_line(std::cout, "✅ Solution submitted to miner bridge successfully!");
        result.success = true;
        result.message = "Submitted to miner bridge";
    } else {
        print_line(std::cerr, "❌ Failed to submit solution to miner bridge");
        result.message = "Failed to send to miner bridge";
    }
    return result;
}
