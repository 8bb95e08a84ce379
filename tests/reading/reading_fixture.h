// What every reading test starts from: a fresh process state and command table, the recording
// window, instant waits, the scripted terminal, and a folder for the intermediate files and the
// -F output file.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/state.h"
#include "support/recording_ui.h"
#include "support/scripted_ctapi.h"
#include "support/test_support.h"
#include "terminal/command_table.h"
#include "terminal/session.h"

namespace orva::reading {

class ReadingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core::ResetState();
        core::Options().tempDir = folder.WithSeparator();
    }
    void TearDown() override { core::ResetState(); }

    // Delivery writes the record to this file (-F).
    std::filesystem::path UseOutputFile() {
        const auto path = folder.Path() / "ORVA.TXT";
        core::Options().writeFile = true;
        core::Options().outputFileName = path.string();
        return path;
    }
    std::filesystem::path TempFile(const char* name) const { return folder.Path() / name; }
    std::vector<std::uint8_t> Stored(const char* name) const {
        return test::ReadFileBytes(TempFile(name));
    }

    // The data commands the terminal received, in hex.
    std::vector<std::string> DataCalls() const {
        std::vector<std::string> out;
        for (const auto& call : ctapi.calls) {
            if (call.rfind("data ", 0) == 0) {
                out.push_back(call.substr(5));
            }
        }
        return out;
    }

    test::RecordingUi ui;
    test::FastSleep sleep;
    test::ScriptedCtApi ctapi;
    terminal::TerminalSession session;  // each test a terminal conversation of its own
    test::TempFolder folder{"orva-reading"};
};

// Bytes and hex texts glued together, for building card answers.
inline std::vector<std::uint8_t> Ascii(const std::string& text) {
    return {text.begin(), text.end()};
}
inline std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a,
                                           const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace orva::reading
