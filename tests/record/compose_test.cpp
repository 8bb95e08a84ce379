// Record composition: the KVK form with its tag search and length rule, the byte conversion,
// the choice of form, the eGK form with a scripted decompressor and with the real GZIP program.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "core/platform.h"
#include "core/state.h"
#include "record/compose.h"
#include "record/flatten.h"
#include "record_test_support.h"
#include "support/recording_ui.h"

namespace orva::record {
namespace {

using test::Bytes;
using test::Hex;
using test::Text;

const std::string kHeader = "\x04OKVK 01";

class ComposeTest : public ::testing::Test {
protected:
    void SetUp() override { core::ResetState(); }
    void TearDown() override {
        SetCommandRunner(nullptr);
        SetGzipDirectory(std::nullopt);
        core::ResetState();
    }

    // Composes from a data buffer of the reader's size that holds bytes at its start.
    ComposeResult Compose(const std::vector<std::uint8_t>& bytes, std::size_t length,
                          DataOrigin origin = DataOrigin::MemoryCard) {
        data.assign(core::kDataBufferSize, 0);
        std::copy(bytes.begin(), bytes.end(), data.begin());
        record.assign(kRecordBufferSize, 0xAA);
        recordLength = length;
        return ComposeRecord(record, data, recordLength, origin);
    }
    std::vector<std::uint8_t> Record() const {
        return {record.begin(), record.begin() + static_cast<std::ptrdiff_t>(recordLength)};
    }

    test::RecordingUi ui;
    std::vector<std::uint8_t> data, record;
    std::size_t recordLength = 0;
};

TEST_F(ComposeTest, KvkExample) {
    ASSERT_EQ(Compose(Hex("80 03 41 42 43 8E 01 5A"), 8), ComposeResult::Built);
    EXPECT_EQ(test::ToHex(Record()),
              "04 4F 4B 56 4B 20 30 31 80 E3 41 42 43 8E E1 35 41 04");
}

// Where the tag search looks: 0x80 among bytes 0 to 9; 0x93 (first) or 0x8E in the length
// bytes from offset 4, which may reach three bytes past the data.
struct TagCase {
    const char* name;
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // offset, value; rest 0x41
    std::size_t length;
    std::optional<std::size_t> n;  // none: too short (the untagged rule fails)
};

TEST_F(ComposeTest, KvkTagSearchWindows) {
    const std::vector<TagCase> cases = {
        {"ChecksumTag", {{0, 0x80}, {20, 0x8E}}, 40, 22},
        {"TerminalTagWinsOverEarlierChecksum", {{0, 0x80}, {12, 0x8E}, {30, 0x93}}, 40, 32},
        {"NameTagAtNine", {{9, 0x80}, {20, 0x8E}}, 40, 22},
        {"NameTagAtTenIsNotSeen", {{10, 0x80}, {20, 0x8E}}, 40, std::nullopt},
        {"TagsBeforeOffsetFourAreNotSeen", {{0, 0x80}, {2, 0x8E}, {3, 0x93}}, 40, std::nullopt},
        {"TagJustPastTheData", {{0, 0x80}, {40, 0x8E}}, 40, 42},
        {"TagThreePastTheData", {{0, 0x80}, {43, 0x8E}}, 40, 45},
        {"TagFourPastTheDataIsNotSeen", {{0, 0x80}, {44, 0x8E}}, 40, std::nullopt},
    };
    for (const TagCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> bytes(60, 0x41);
        bytes.resize(100, 0);  // a zero at 60: the untagged rule gives "too short"
        for (const auto& [offset, value] : c.bytes) {
            bytes[offset] = value;
        }
        const ComposeResult result = Compose(bytes, c.length);
        if (!c.n) {
            EXPECT_EQ(result, ComposeResult::TooShort);
            EXPECT_EQ(recordLength, c.length);
            continue;
        }
        ASSERT_EQ(result, ComposeResult::Built);
        ASSERT_EQ(recordLength, *c.n + 11);
        const std::uint8_t sent = bytes[*c.n];
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", sent);
        EXPECT_EQ(Text(Record()).substr(8 + *c.n), std::string(hex) + "\x04");
    }
}

TEST_F(ComposeTest, KvkLengthRuleWithoutTags) {
    struct Case {
        std::size_t zeroAt;  // first zero byte of the data
        std::size_t length;
        std::optional<std::size_t> n;
    };
    const Case cases[] = {
        {217, 240, std::nullopt}, {218, 240, 232}, {218, 230, 218},
        {300, 230, 218},          {300, 231, 232}, {300, 16000, 232},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "zero at " << c.zeroAt << ", length " << c.length);
        std::vector<std::uint8_t> bytes(c.zeroAt, 'K');
        bytes.push_back(0);
        const ComposeResult result = Compose(bytes, c.length);
        if (!c.n) {
            EXPECT_EQ(result, ComposeResult::TooShort);
            EXPECT_EQ(data[0], 'K');  // the data stay as they were
            continue;
        }
        ASSERT_EQ(result, ComposeResult::Built);
        EXPECT_EQ(recordLength, *c.n + 11);
        // Kept bytes behind the zero are zero bytes, raised to 0xE0.
        std::string kept;
        for (std::size_t i = 0; i < *c.n; ++i) {
            kept.push_back(i < c.zeroAt ? 'K' : '\xE0');
        }
        EXPECT_EQ(Text(Record()), kHeader + kept + (*c.n < c.zeroAt ? "4B" : "00") + "\x04");
    }
}

TEST_F(ComposeTest, KvkByteConversion) {
    // Bytes below 0x1F are raised by 0xE0; the byte sent as digits is never converted.
    ASSERT_EQ(Compose(Hex("80 00 01 1E 1F 20 7F FF 8E 05 02"), 11), ComposeResult::Built);
    EXPECT_EQ(test::ToHex(Record()),
              "04 4F 4B 56 4B 20 30 31 80 E0 E1 FE 1F 20 7F FF 8E E5 30 32 04");
}

TEST_F(ComposeTest, KvkRecordThatWouldNotFitIsRefused) {
    // A tag so far back that the record (n + 11) would overflow the 16384-byte buffer, and a
    // tag on the very last byte, whose following byte lies outside the data buffer.
    for (const std::size_t tagAt : {std::size_t{16372}, std::size_t{16383}}) {
        SCOPED_TRACE(tagAt);
        std::vector<std::uint8_t> bytes(core::kDataBufferSize, 0x41);
        bytes[0] = 0x80;
        bytes[tagAt] = 0x8E;
        EXPECT_EQ(Compose(bytes, 16380), ComposeResult::TooLong);
        EXPECT_TRUE(std::all_of(record.begin(), record.end(), [](auto b) { return b == 0xAA; }));
    }
    std::vector<std::uint8_t> bytes(core::kDataBufferSize, 0x41);
    bytes[0] = 0x80;
    bytes[16371] = 0x8E;  // n = 16373, the longest record that fits
    ASSERT_EQ(Compose(bytes, 16380), ComposeResult::Built);
    EXPECT_EQ(recordLength, kRecordBufferSize);
}

// The eGK form with a decompressor that just records its command lines: the XML files are
// already in place.
class EgkComposeTest : public ComposeTest {
protected:
    void SetUp() override {
        ComposeTest::SetUp();
        core::Options().tempDir = temp.WithSeparator();
        SetCommandRunner([this](const std::string& line) {
            commands.push_back(line);
            return 0;
        });
        test::WriteFileBytes(temp.Path() / "PD.XML", Bytes("<Kunde><Name>M\xFCller</Name></Kunde>"));
        test::WriteFileBytes(temp.Path() / "VD.XML", Bytes("<Beginn>20240101</Beginn>"));
        test::WriteFileBytes(temp.Path() / "ST.TXT", Bytes(std::string("0 2024\0rest", 11)));
    }

    test::TempFolder temp{"orva egk"};
    std::vector<std::string> commands;
};

TEST_F(EgkComposeTest, ChoiceOfForm) {
    // The two-byte test decides only for the data of this run's eGK branch; a memory card's
    // data take the KVK rules whatever they begin with, so the files of an earlier eGK in the
    // folder never reach its record.
    using enum DataOrigin;
    const struct {
        const char* data;
        std::size_t length;
        DataOrigin origin;
        bool egk;
    } cases[] = {
        {"FF FF 80 8E 00", 5, EgkBranch, true},
        {"FF FF", 16000, EgkBranch, true},
        {"00 05 80 41 41", 5, EgkBranch, true},
        {"01 00 41", 256, EgkBranch, true},
        {"00 06 80 41 41 41 8E 00", 5, EgkBranch, false},
        {"FF FE 80 41 41 8E 00 00", 8, EgkBranch, false},
        {"FF FF 80 8E 00", 5, MemoryCard, false},
        {"00 05 80 41 41", 5, MemoryCard, false},
        {"01 00 41", 256, MemoryCard, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        SCOPED_TRACE(c.origin == EgkBranch ? "eGK branch" : "memory card");
        commands.clear();
        const ComposeResult result = Compose(Hex(c.data), c.length, c.origin);
        EXPECT_EQ(!commands.empty(), c.egk);
        if (c.egk) {
            EXPECT_EQ(result, ComposeResult::Built);
        }
    }
}

TEST_F(EgkComposeTest, BlankMemoryCardTakesTheKvkRules) {
    // Erased memory reads FF; 228 bytes without tags keep 218 of them.
    const std::vector<std::uint8_t> blank(228, 0xFF);
    ASSERT_EQ(Compose(blank, blank.size(), DataOrigin::MemoryCard), ComposeResult::Built);
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(Text(Record()), kHeader + std::string(218, '\xFF') + "FF\x04");
}

TEST_F(EgkComposeTest, RecordOfThreeTextsVersionAndSerialNumber) {
    core::Reader().version = "000000000000300000000301000003";
    core::Reader().iccsn = "80276883110000017222";
    ASSERT_EQ(Compose(Hex("FF FF"), 2, DataOrigin::EgkBranch), ComposeResult::Built);
    EXPECT_EQ(Text(Record()), kHeader +
                                  "PD>Kunde>Name>M\xFCller\n"
                                  "VD>Beginn>20240101\n"
                                  "ST>0 2024"
                                  "\nVER>000000000000300000000301000003"
                                  "\nICCSN>80276883110000017222\x04");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], GzipCommandLine(core::ProgramDirectory(), temp.WithSeparator(), "PD"));
    EXPECT_EQ(commands[1], GzipCommandLine(core::ProgramDirectory(), temp.WithSeparator(), "VD"));
}

TEST_F(EgkComposeTest, WithoutVersionAndSerialNumberTheStatusEndsTheRecord) {
    ASSERT_EQ(Compose(Hex("FF FF"), 2, DataOrigin::EgkBranch), ComposeResult::Built);
    EXPECT_EQ(Text(Record()), kHeader + "PD>Kunde>Name>M\xFCller\nVD>Beginn>20240101\nST>0 2024\x04");
}

TEST_F(EgkComposeTest, MissingXmlGivesItsPrefixAndABox) {
    std::filesystem::remove(temp.Path() / "VD.XML");
    ASSERT_EQ(Compose(Hex("FF FF"), 2, DataOrigin::EgkBranch), ComposeResult::Built);
    EXPECT_EQ(Text(Record()), kHeader + "PD>Kunde>Name>M\xFCller\nVD>ST>0 2024\x04");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Datei " + temp.WithSeparator() + "VD.XML kann nicht gelesen werden!");
}

TEST_F(EgkComposeTest, RecordThatWouldNotFitIsRefused) {
    // Each text fits the working buffer, together they do not fit the record buffer.
    std::string xml;
    for (int i = 0; i < 700; ++i) {
        xml += "<Eintrag>";
        xml += std::to_string(1000 + i);
        xml += "</Eintrag>";
    }
    test::WriteFileBytes(temp.Path() / "PD.XML", Bytes(xml));
    test::WriteFileBytes(temp.Path() / "VD.XML", Bytes(xml));
    EXPECT_EQ(Compose(Hex("FF FF"), 2, DataOrigin::EgkBranch), ComposeResult::TooLong);
    EXPECT_EQ(recordLength, 2u);
}

TEST(GzipCommandLineTest, EveryPathIsQuoted) {
#ifdef _WIN32
    EXPECT_EQ(GzipCommandLine("C:\\Program Files\\Orva\\", "C:\\Users\\A B\\Temp\\", "PD"),
              "\"\"C:\\Program Files\\Orva\\GZIP\" -dc \"C:\\Users\\A B\\Temp\\PD.GZ\" > "
              "\"C:\\Users\\A B\\Temp\\PD.XML\"\"");
#else
    EXPECT_EQ(GzipCommandLine("/opt/my orva/", "/tmp/it's here/", "VD"),
              "'/opt/my orva/GZIP' -dc '/tmp/it'\\''s here/VD.GZ' > '/tmp/it'\\''s here/VD.XML'");
#endif
}

// The eGK form end to end: the compressed parts of real card files, decompressed by the GZIP
// program built beside the tests, from a program folder and a temporary folder that both hold
// spaces.
TEST_F(ComposeTest, EgkFromRealCardFilesWithTheRealGzip) {
    const auto samples = test::SamplesDir();
    if (!samples) {
        GTEST_SKIP() << "no samples folder";
    }
    const std::string gzipName = std::string("GZIP") +
#ifdef _WIN32
                                 ".exe";
#else
                                 "";
#endif
    // An apostrophe as well: the shell must see it as part of the name.
    test::TempFolder temp{"orva it's temp"};
    test::TempFolder program{"orva program"};
    std::filesystem::copy_file(core::ProgramDirectory() + gzipName, program.Path() / gzipName);
    SetGzipDirectory(program.WithSeparator());
    core::Options().tempDir = temp.WithSeparator();

    // EF.PD: a 2-byte length, then the gzip member. EF.VD: four offsets (ends inclusive), then
    // the VD member and the protected member; a few stray bytes follow, as on some cards.
    const auto pd = test::ReadFileBytes(*samples / "egk_bin/egkfeuer_sim_EF.PD.bin");
    const std::size_t pdLength = pd[0] * 256u + pd[1];
    test::WriteFileBytes(temp.Path() / "PD.GZ", {pd.begin() + 2, pd.begin() + 2 + pdLength});
    const auto vd = test::ReadFileBytes(*samples / "egk_bin/egkfeuer_sim_EF.VD.bin");
    const std::size_t vdStart = vd[0] * 256u + vd[1];
    const std::size_t gvdEnd = vd[6] * 256u + vd[7];
    std::vector<std::uint8_t> vdGz(vd.begin() + static_cast<std::ptrdiff_t>(vdStart),
                                   vd.begin() + static_cast<std::ptrdiff_t>(gvdEnd) + 1);
    vdGz.insert(vdGz.end(), {0x00, 0x00, 0x00});
    test::WriteFileBytes(temp.Path() / "VD.GZ", vdGz);
    test::WriteFileBytes(temp.Path() / "ST.TXT", Bytes("020090710144441 5.1.0"));
    core::Reader().version = "000000000000300000000301000003";

    ASSERT_EQ(Compose(Hex("FF FF"), 2, DataOrigin::EgkBranch), ComposeResult::Built);

    // What the record must hold: the flattened decompressed documents of the same card.
    test::TempFolder expected{"orva expected"};
    const auto xml = [&](const char* name) {
        return Text(test::ReadFileBytes(*samples / "egk_xml" / name));
    };
    const std::string pdText =
        test::FlattenText(expected, "PD.XML", xml("egkfeuer_sim_EF.PD.decompressed.xml"));
    const std::string vdText = test::FlattenText(
        expected, "VD.XML",
        xml("egkfeuer_sim_EF.VD_VD.decompressed.xml") + xml("egkfeuer_sim_EF.VD_GVD.decompressed.xml"));
    EXPECT_EQ(Text(Record()), kHeader + pdText + vdText + "ST>020090710144441 5.1.0" +
                                  "\nVER>000000000000300000000301000003\x04");
    EXPECT_NE(pdText.find("Versicherter>Person>Nachname>Musterkarte-0461\n"), std::string::npos);
    EXPECT_NE(vdText.find("\nGD>Zuzahlungsstatus>Status>0\n"), std::string::npos);
    EXPECT_TRUE(ui.boxes.empty());
}

}  // namespace
}  // namespace orva::record
