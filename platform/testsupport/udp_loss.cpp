#include "platform/testsupport/udp_loss.h"

#include <vector>

#include "platform/testsupport/command.h"
#include "platform/testsupport/netns.h"

namespace qvtest {

namespace {

constexpr const char* kTable = "qvtest_loss";

bool Refuse(std::string* error, const std::string& reason)
{
    if (error) {
        *error = reason;
    }
    return false;
}

bool Nft(const std::vector<std::string>& args, std::string* error)
{
    std::vector<std::string> argv = {"nft"};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult result = RunCommand(argv);
    if (result.Succeeded()) {
        return true;
    }
    std::string reason = "'" + DescribeCommand(argv) + "' failed";
    if (!result.output.empty()) {
        reason += ": " + result.output;
    }
    return Refuse(error, reason);
}

bool CheckPlace(std::string* error)
{
    if (FindExecutable("nft").empty()) {
        return Refuse(error, "the 'nft' tool (nftables) is not installed; run scripts/setup.sh");
    }
    if (!InHarnessNamespace()) {
        return Refuse(error, "refusing to install packet filters outside a test namespace");
    }
    return true;
}

std::vector<std::string> RuleFor(std::uint16_t port, int percent)
{
    std::vector<std::string> rule = {"add",   "rule", "inet",  kTable,
                                     "input", "udp",  "dport", std::to_string(port)};
    // numgen yields 0..99 and nft refuses to compare it with 100, so a total
    // loss is a plain drop.
    if (percent < 100) {
        for (const char* word : {"numgen", "random", "mod", "100", "<"}) {
            rule.emplace_back(word);
        }
        rule.push_back(std::to_string(percent));
    }
    rule.emplace_back("drop");
    return rule;
}

} // namespace

bool AddUdpLoss(std::uint16_t port, int percent, std::string* error)
{
    if (percent < 0 || percent > 100) {
        return Refuse(error, "loss percentage must be 0..100, got " + std::to_string(percent));
    }
    if (!CheckPlace(error)) {
        return false;
    }
    // "add" of an existing table or identical chain is accepted, so every call
    // can make sure both exist.
    return Nft({"add", "table", "inet", kTable}, error) &&
           Nft({"add", "chain", "inet", kTable, "input", "{", "type", "filter", "hook", "input",
                "priority", "0", ";", "policy", "accept", ";", "}"},
               error) &&
           Nft(RuleFor(port, percent), error);
}

bool ClearUdpLoss(std::string* error)
{
    if (!CheckPlace(error)) {
        return false;
    }
    return Nft({"add", "table", "inet", kTable}, error) &&
           Nft({"delete", "table", "inet", kTable}, error);
}

} // namespace qvtest
