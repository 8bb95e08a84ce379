// An in-process CT-API for unit tests: a script of expected commands and the answers to give.
// An unexpected command fails the test with the step number and both commands in hex; a
// command past the end of the script is answered with -1 and an untouched response.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "terminal/ctapi_binding.h"

namespace orva::test {

struct ScriptedExchange {
    std::string command;   // expected command bytes in hex ("" = any)
    std::string response;  // answer bytes in hex
    std::int8_t result = 0;
    bool touch = true;             // false: leave lenr and the response as they are
    std::function<void()> during;  // runs inside the call (for example to set the abort flag)
};

// An in-process provider: pass it to the run; it answers run after run until its script ends.
class ScriptedCtApi final : public terminal::CtApi {
  public:
    ScriptedCtApi() = default;
    ScriptedCtApi(const ScriptedCtApi&) = delete;
    ScriptedCtApi& operator=(const ScriptedCtApi&) = delete;

    ScriptedCtApi& Expect(std::string command, std::string response, std::int8_t result = 0);
    ScriptedCtApi& Then(ScriptedExchange exchange);

    std::vector<std::int8_t> initResults{0};  // successive CT_init results; the last repeats
    std::int8_t closeResult = 0;

    // What was called, one line each: "init 1 3", "data 20 11 00 00 00", "close 1".
    std::vector<std::string> calls;
    std::size_t Remaining() const;

    bool BeginRun() override { return true; }
    std::int8_t Init(std::uint16_t ctn, std::uint16_t pn) override;
    std::int8_t Data(std::uint16_t ctn, std::uint8_t& dad, std::uint8_t& sad,
                     std::span<const std::uint8_t> command, std::uint16_t& lenr,
                     std::span<std::uint8_t> response) override;
    std::int8_t Close(std::uint16_t ctn) override;

  private:
    std::vector<ScriptedExchange> script_;
    std::size_t next_ = 0;
    std::size_t inits_ = 0;
};

}  // namespace orva::test
