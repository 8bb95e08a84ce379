#include "support/scripted_ctapi.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/test_support.h"
#include "terminal/ctapi_binding.h"

namespace orva::test {

namespace {

ScriptedCtApi* gActive = nullptr;
std::vector<ScriptedExchange> gScript;
std::size_t gNext = 0;
std::size_t gInits = 0;

std::int8_t ORVA_CTAPI_CALL Init(std::uint16_t ctn, std::uint16_t pn) {
    gActive->calls.push_back("init " + std::to_string(ctn) + " " + std::to_string(pn));
    const auto& results = gActive->initResults;
    const std::int8_t result = results[std::min(gInits, results.size() - 1)];
    ++gInits;
    return result;
}

std::int8_t ORVA_CTAPI_CALL Data(std::uint16_t, std::uint8_t* dad, std::uint8_t* sad,
                                 std::uint16_t lenc, std::uint8_t* command, std::uint16_t* lenr,
                                 std::uint8_t* response) {
    const std::vector<std::uint8_t> sent(command, command + lenc);
    gActive->calls.push_back("data " + ToHex(sent));
    if (gNext >= gScript.size()) {
        ADD_FAILURE() << "step " << gNext << ": unexpected command " << ToHex(sent)
                      << " after the end of the script";
        return -1;
    }
    const ScriptedExchange& step = gScript[gNext++];
    if (!step.command.empty() && Hex(step.command) != sent) {
        ADD_FAILURE() << "step " << gNext - 1 << ": expected " << ToHex(Hex(step.command))
                      << ", got " << ToHex(sent);
    }
    if (step.during) {
        step.during();
    }
    if (step.touch) {
        const auto answer = Hex(step.response);
        if (answer.size() > *lenr) {
            ADD_FAILURE() << "step " << gNext - 1 << ": answer longer than the room announced";
            return -11;
        }
        if (!answer.empty()) {
            std::memcpy(response, answer.data(), answer.size());
        }
        *lenr = static_cast<std::uint16_t>(answer.size());
        const std::uint8_t from = *dad;
        *sad = from;
        *dad = 2;
    }
    return step.result;
}

std::int8_t ORVA_CTAPI_CALL Close(std::uint16_t ctn) {
    gActive->calls.push_back("close " + std::to_string(ctn));
    return gActive->closeResult;
}

}  // namespace

ScriptedCtApi::ScriptedCtApi() {
    gActive = this;
    gScript.clear();
    gNext = 0;
    gInits = 0;
    terminal::EntryPoints() = {&Init, &Data, &Close};
}

ScriptedCtApi::~ScriptedCtApi() {
    terminal::EntryPoints() = {};
    gActive = nullptr;
    gScript.clear();
}

ScriptedCtApi& ScriptedCtApi::Expect(std::string command, std::string response,
                                     std::int8_t result) {
    return Then({std::move(command), std::move(response), result, true, {}});
}

ScriptedCtApi& ScriptedCtApi::Then(ScriptedExchange exchange) {
    gScript.push_back(std::move(exchange));
    return *this;
}

std::size_t ScriptedCtApi::Remaining() const { return gScript.size() - gNext; }

}  // namespace orva::test
