#include "support/scripted_ctapi.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.h"

namespace orva::test {

std::int8_t ScriptedCtApi::Init(std::uint16_t ctn, std::uint16_t pn) {
    calls.push_back("init " + std::to_string(ctn) + " " + std::to_string(pn));
    const std::int8_t result = initResults[std::min(inits_, initResults.size() - 1)];
    ++inits_;
    return result;
}

std::int8_t ScriptedCtApi::Data(std::uint16_t, std::uint8_t& dad, std::uint8_t& sad,
                                std::span<const std::uint8_t> command, std::uint16_t& lenr,
                                std::span<std::uint8_t> response) {
    const std::vector<std::uint8_t> sent(command.begin(), command.end());
    calls.push_back("data " + ToHex(sent));
    if (next_ >= script_.size()) {
        ADD_FAILURE() << "step " << next_ << ": unexpected command " << ToHex(sent)
                      << " after the end of the script";
        return -1;
    }
    const ScriptedExchange& step = script_[next_++];
    if (!step.command.empty() && Hex(step.command) != sent) {
        ADD_FAILURE() << "step " << next_ - 1 << ": expected " << ToHex(Hex(step.command))
                      << ", got " << ToHex(sent);
    }
    if (step.during) {
        step.during();
    }
    if (step.touch) {
        const auto answer = Hex(step.response);
        if (answer.size() > lenr || answer.size() > response.size()) {
            ADD_FAILURE() << "step " << next_ - 1 << ": answer longer than the room announced";
            return -11;
        }
        std::copy(answer.begin(), answer.end(), response.begin());
        lenr = static_cast<std::uint16_t>(answer.size());
        const std::uint8_t from = dad;
        sad = from;
        dad = 2;
    }
    return step.result;
}

std::int8_t ScriptedCtApi::Close(std::uint16_t ctn) {
    calls.push_back("close " + std::to_string(ctn));
    return closeResult;
}

ScriptedCtApi& ScriptedCtApi::Expect(std::string command, std::string response,
                                     std::int8_t result) {
    return Then({std::move(command), std::move(response), result, true, {}});
}

ScriptedCtApi& ScriptedCtApi::Then(ScriptedExchange exchange) {
    script_.push_back(std::move(exchange));
    return *this;
}

std::size_t ScriptedCtApi::Remaining() const {
    return script_.size() - next_;
}

}  // namespace orva::test
