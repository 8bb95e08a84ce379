// Whole KVK reading runs of the program through the CT-API library over PC/SC, with a scripted
// reader that offers the storage-card commands: the record equals the one the simulated
// terminal gives for the same memory image, and nothing is written to the card.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "card_image.h"
#include "core/state.h"
#include "pcsc_terminal.h"
#include "reading/reading_run.h"
#include "scripted_reader.h"
#include "support/recording_ui.h"
#include "support/test_support.h"
#include "terminal/ctapi_binding.h"

namespace orva::pcsc {
namespace {

// The library's entry points as an in-process CT-API of the program.
class PcscCtApi final : public terminal::CtApi {
  public:
    explicit PcscCtApi(Pcsc& reader)
        : terminals_(reader, [](const char*) { return std::optional<std::string>(); }) {}
    bool BeginRun() override { return true; }
    std::int8_t Init(std::uint16_t ctn, std::uint16_t pn) override {
        return terminals_.Init(ctn, pn);
    }
    std::int8_t Data(std::uint16_t ctn, std::uint8_t& dad, std::uint8_t& sad,
                     std::span<const std::uint8_t> command, std::uint16_t& lenr,
                     std::span<std::uint8_t> response) override {
        if (response.size() < lenr) {
            return -1;
        }
        return terminals_.Data(ctn, &dad, &sad, static_cast<std::uint16_t>(command.size()),
                               command.data(), &lenr, response.data());
    }
    std::int8_t Close(std::uint16_t ctn) override { return terminals_.Close(ctn); }

  private:
    PcscTerminals terminals_;
};

class PcscKvkRunTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        sim.Unload();
        setenv("ORVA_SIM_CARDS", "", 1);
        core::ResetState();
    }
    void Reset() {
        core::ResetState();
        core::Options().tempDir = folder.WithSeparator();
        core::Options().writeFile = true;
        core::Options().outputFileName = output.string();
        core::Options().portNumber = 1;  // "USB"
        std::filesystem::remove(output);
    }
    Bytes Record() const { return test::ReadFileBytes(output); }

    terminal::CtApiLibrary sim;
    test::RecordingUi ui;
    test::FastSleep sleep;
    test::TempFolder folder{"orva-pcsc-kvk"};
    std::filesystem::path output = folder.Path() / "ORVA.TXT";
};

TEST_F(PcscKvkRunTest, TheRecordIsTheSimulatedTerminalsForTheSameMemory) {
    for (const char* fixture : {"kvk.ini", "kvk_long.ini"}) {
        SCOPED_TRACE(fixture);
        const std::filesystem::path image =
            std::filesystem::path(ORVA_TEST_DATA_DIR) / "cards" / fixture;
        Reset();
        setenv("ORVA_SIM_CARDS", image.c_str(), 1);
        ASSERT_EQ(sim.Load("USB", "SIM"), terminal::LoadResult::Loaded);
        reading::ButtonReadClick(sim);
        sim.Unload();
        const Bytes wanted = Record();
        ASSERT_GT(wanted.size(), 100u);

        std::string error;
        const std::optional<sim::CardSet> set = sim::LoadCardImage(image, error);
        ASSERT_TRUE(set) << error;
        ScriptedReader reader;
        reader.atr = kKvkAtr;
        reader.memory = set->cards.at(0).data;
        reader.memory->resize(256, 0xFF);
        reader.takenOutWhenUnpowered = true;
        PcscCtApi pcsc(reader);
        Reset();
        reading::ButtonReadClick(pcsc);
        EXPECT_EQ(ToHex(Record()), ToHex(wanted));
        for (const std::string& sent : reader.sent) {
            EXPECT_EQ(sent.substr(0, 5), "FF B0") << "only reads reach the card: " << sent;
        }
        EXPECT_EQ(reader.openContexts, 0);
    }
}

}  // namespace
}  // namespace orva::pcsc
