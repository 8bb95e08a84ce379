// Delivery against a fake client channel: what reaches the output file, what reaches the
// client (0xFF replaced), what is withheld, and the boxes of the failure cases.
#include <gtest/gtest.h>

#include <filesystem>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "core/state.h"
#include "record/client_channel.h"
#include "record/compose.h"
#include "record/delivery.h"
#include "record_test_support.h"
#include "support/recording_ui.h"

namespace orva::record {
namespace {

using test::Hex;
using test::ToHex;

class FakeChannel final : public ClientChannel {
  public:
    FakeChannel() { SetClientChannel(this); }
    ~FakeChannel() override { SetClientChannel(nullptr); }

    Handover Hand(std::span<const std::uint8_t> record) override {
        records.emplace_back(record.begin(), record.end());
        return answer;
    }

    Handover answer = Handover::Delivered;
    std::vector<std::vector<std::uint8_t>> records;
};

// KVK data with a checksum tag whose kept bytes include 0xFF; and the record they give.
const char* const kKvkData = "80 03 FF 42 8E 01 5A";
const char* const kKvkRecord = "04 4F 4B 56 4B 20 30 31 80 E3 FF 42 8E E1 35 41 04";
const char* const kKvkRecordToClient = "04 4F 4B 56 4B 20 30 31 80 E3 1F 42 8E E1 35 41 04";
const char* const kErrorRecordHex = "04 4F 4B 56 4B 20 30 31 2D 04";

class DeliveryTest : public ::testing::Test {
  protected:
    void SetUp() override { core::ResetState(); }
    void TearDown() override { core::ResetState(); }

    std::string OutputFile() const { return (folder.Path() / "ORVA.TXT").string(); }
    std::string FileHex() const { return ToHex(test::ReadFileBytes(OutputFile())); }

    test::RecordingUi ui;
    FakeChannel channel;
    test::TempFolder folder{"orva-delivery"};
};

TEST_F(DeliveryTest, ClientGetsTheRecordWithFFReplaced) {
    EXPECT_TRUE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    ASSERT_EQ(channel.records.size(), 1u);
    EXPECT_EQ(ToHex(channel.records[0]), kKvkRecordToClient);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(DeliveryTest, OutputFileGetsTheRecordUntouchedAndTheClientNothing) {
    core::Options().outputFileName = OutputFile();
    EXPECT_TRUE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    EXPECT_EQ(FileHex(), kKvkRecord);
    EXPECT_TRUE(channel.records.empty());
}

TEST_F(DeliveryTest, OnlyTheWholeErrorRecordPassesThrough) {
    EXPECT_TRUE(DeliverRecord(BytesOnly(kErrorRecord), core::CardKind::Kvk));
    ASSERT_EQ(channel.records.size(), 1u);
    EXPECT_EQ(ToHex(channel.records[0]), kErrorRecordHex);
    EXPECT_TRUE(ui.boxes.empty());

    // Card data that only begin like the ErrorRecord are incomplete data: a box, then the
    // ErrorRecord, never the part itself.
    for (const std::size_t length : {std::size_t{0}, std::size_t{2}, std::size_t{9}}) {
        SCOPED_TRACE(length);
        channel.records.clear();
        ui.boxes.clear();
        EXPECT_FALSE(
            DeliverRecord(BytesOnly(std::span(kErrorRecord).first(length)), core::CardKind::Kvk));
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(
            ui.boxes[0].text.rfind("Daten unvollst\xE4ndig! (" + std::to_string(length) + "): ", 0),
            0u);
        ASSERT_EQ(channel.records.size(), 1u);
        EXPECT_EQ(ToHex(channel.records[0]), kErrorRecordHex);
    }

    core::Options().outputFileName = OutputFile();
    EXPECT_TRUE(DeliverErrorRecord(core::CardKind::Kvk));
    EXPECT_EQ(FileHex(), kErrorRecordHex);
}

TEST_F(DeliveryTest, NoClientSendWithholdsOnlyAfterAnEgkRun) {
    core::Options().noClientSend = true;
    EXPECT_TRUE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    EXPECT_EQ(channel.records.size(), 1u);

    EXPECT_TRUE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Egk));
    EXPECT_TRUE(DeliverErrorRecord(core::CardKind::Egk));
    EXPECT_EQ(channel.records.size(), 1u);
    EXPECT_TRUE(ui.boxes.empty());

    // With -F the file is written all the same.
    core::Options().outputFileName = OutputFile();
    EXPECT_TRUE(DeliverErrorRecord(core::CardKind::Egk));
    EXPECT_EQ(FileHex(), kErrorRecordHex);
}

TEST_F(DeliveryTest, IncompleteDataShowABoxThenTheErrorRecordIsDelivered) {
    EXPECT_FALSE(DeliverRecord(BytesOnly(Hex("12 AB 41 42")), core::CardKind::Kvk));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "Fehler");
    EXPECT_EQ(ui.boxes[0].text, "Daten unvollst\xE4ndig! (4): 12 ab\n");
    EXPECT_EQ(ui.boxes[0].icon, core::BoxIcon::None);
    ASSERT_EQ(channel.records.size(), 1u);
    EXPECT_EQ(ToHex(channel.records[0]), kErrorRecordHex);
}

TEST_F(DeliveryTest, IncompleteDataInEndlessModeDeliverNothing) {
    core::Options().endless = true;
    EXPECT_FALSE(DeliverRecord(BytesOnly(Hex("12 AB 41 42")), core::CardKind::Kvk));
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_TRUE(channel.records.empty());
}

TEST_F(DeliveryTest, RecordTooLongForTheBlockBecomesTheErrorRecord) {
    // A checksum tag at the end of full KVK data: 16385 record bytes.
    std::vector<std::uint8_t> data(core::kDataBufferSize, 0x41);
    data[0] = 0x80;
    data[16376] = 0x8E;
    EXPECT_FALSE(DeliverRecord(BytesOnly(std::span(data).first(16380)), core::CardKind::Kvk));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "Fehler");
    EXPECT_EQ(ui.boxes[0].text, "Datensatz zu lang! (16380)");
    ASSERT_EQ(channel.records.size(), 1u);
    EXPECT_EQ(ToHex(channel.records[0]), kErrorRecordHex);

    core::Options().endless = true;
    EXPECT_FALSE(DeliverRecord(BytesOnly(std::span(data).first(16380)), core::CardKind::Kvk));
    EXPECT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(channel.records.size(), 1u);
}

TEST_F(DeliveryTest, KvkRulesSeeZeroBytesBehindTheData) {
    // The tag search reaches just past the data, and byte n may lie behind them: there the
    // rules see zero bytes, never what an earlier card left in a buffer.
    EXPECT_TRUE(DeliverRecord(BytesOnly(Hex("80 41 42 43 44 45 8E 01")), core::CardKind::Kvk));
    ASSERT_EQ(channel.records.size(), 1u);
    EXPECT_EQ(ToHex(channel.records[0]),
              "04 4F 4B 56 4B 20 30 31 80 41 42 43 44 45 8E E1 30 30 04");
}

TEST_F(DeliveryTest, NoClientWindowShowsTheBoxEveryTime) {
    channel.answer = ClientChannel::Handover::NoClientWindow;
    EXPECT_FALSE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    EXPECT_FALSE(DeliverErrorRecord(core::CardKind::Kvk));
    ASSERT_EQ(ui.boxes.size(), 2u);
    for (const auto& box : ui.boxes) {
        EXPECT_EQ(box.caption, "Fehler");
        EXPECT_EQ(box.text, "Ovira Telnet Client nicht gestartet!");
    }
}

TEST_F(DeliveryTest, NoSharedBlockFailsSilently) {
    channel.answer = ClientChannel::Handover::NoChannel;
    EXPECT_FALSE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(DeliveryTest, FileThatCannotBeWrittenIsReported) {
    const std::string name = (folder.Path() / "missing" / "ORVA.TXT").string();
    core::Options().outputFileName = name;
    EXPECT_FALSE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "Fehler");
    EXPECT_EQ(ui.boxes[0].text, "Datei " + name + " kann nicht geschrieben werden!");
    EXPECT_TRUE(channel.records.empty());
}

TEST(WriteWholeFileTest, ReplacesTheFileAndReportsFailures) {
    test::RecordingUi ui;
    test::TempFolder folder{"orva-write"};
    const auto path = folder.Path() / "out.bin";
    test::WriteFileBytes(path, std::vector<std::uint8_t>(100, 0x55));
    EXPECT_TRUE(WriteWholeFile(path.string(), Hex("01 02 03")));
    EXPECT_EQ(ToHex(test::ReadFileBytes(path)), "01 02 03");
    EXPECT_TRUE(WriteWholeFile(path.string(), {}));
    EXPECT_TRUE(test::ReadFileBytes(path).empty());
    EXPECT_TRUE(ui.boxes.empty());

    // A folder in place of the file cannot be created as a file.
    EXPECT_FALSE(WriteWholeFile(folder.Path().string(), Hex("01")));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text,
              "Datei " + folder.Path().string() + " kann nicht geschrieben werden!");
}

#ifndef _WIN32
TEST(StdoutChannelTest, WithoutOutputFileTheRecordGoesToStandardOutput) {
    // The real channel of the Linux build, with standard output sent to a file for a moment.
    core::ResetState();
    test::RecordingUi ui;
    test::TempFolder folder{"orva-stdout"};
    const auto path = folder.Path() / "stdout.bin";
    std::fflush(stdout);
    const int saved = dup(fileno(stdout));
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    dup2(fileno(file), fileno(stdout));
    const bool kvk = DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk);
    const bool error = DeliverErrorRecord(core::CardKind::Kvk);
    dup2(saved, fileno(stdout));
    close(saved);
    std::fclose(file);
    EXPECT_TRUE(kvk);
    EXPECT_TRUE(error);
    EXPECT_EQ(ToHex(test::ReadFileBytes(path)),
              std::string(kKvkRecordToClient) + " " + kErrorRecordHex);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(WriteWholeFileTest, ShortWriteIsReportedLikeAFailedCreation) {
    // /dev/full accepts the open and refuses the bytes.
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    test::RecordingUi ui;
    EXPECT_FALSE(WriteWholeFile("/dev/full", Hex("01 02 03")));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Datei /dev/full kann nicht geschrieben werden!");
}
#endif

}  // namespace
}  // namespace orva::record
