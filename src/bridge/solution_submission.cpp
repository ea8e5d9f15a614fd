#include "bridge/solution_submission.h"

#include <iostream>

#include "bridge/client.h"
#include "bridge/text_prefix.h"
#include "bridge/traffic_echo.h"
#include "diag/console_line.h"

SolutionTexts solution_texts(const Pow& pow)
{
    SolutionTexts texts;
    texts.root = digest_to_hex_padded(pow.root);
    for (const Digest& d : pow.path_a) texts.path_a.push_back(digest_to_hex_padded(d));
    for (const Digest& d : pow.path_b) texts.path_b.push_back(digest_to_hex_padded(d));
    texts.nonce = digest_to_hex_padded(pow.nonce);
    return texts;
}

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

SubmissionResult submitPowSolutionToBridge(CorvaneCudaMinerClient* client, const std::string& proposal_id, const std::string& root,
                                           const std::vector<std::string>& path_a,
                                           const std::vector<std::string>& path_b,
                                           const std::string& nonce)
{
    SubmissionResult result;
    if (client == nullptr) {
        result.message = "Corvane miner client not initialized";
        return result;
    }
    const nlohmann::json message = solution_message(proposal_id, root, path_a, path_b, nonce);
    result.request_json = message.dump();

    print_line(std::cout, "📤 Submitting POW solution to miner bridge...");
    print_line(std::cout, "📤 Proposal ID: " + text_prefix(proposal_id, 16) + "...");
    if (client->send_message(message)) {
        print_line(std::cout, sent_line(result.request_json));
        // Sent, not accepted: a verdict, if the bridge gives one, arrives later as a reply line.
        print_line(std::cout, "✅ Solution sent to miner bridge");
        result.success = true;
        result.message = "Submitted to miner bridge";
    } else {
        print_line(std::cerr, "❌ Failed to submit solution to miner bridge");
        result.message = "Failed to send to miner bridge";
    }
    return result;
}
