// Record composition: the KVK form with its tag search and length rule, the byte conversion,
// the choice of form, the eGK form with a scripted decompressor and with the real GZIP program.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
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

    // Composes from the first length bytes (zero bytes where bytes ends first), in the form
    // given, with the folder, version and serial number of the fixture.
    ComposeResult Compose(const std::vector<std::uint8_t>& bytes, std::size_t length,
                          RecordForm form = RecordForm::Kvk) {
        data = bytes;
        data.resize(length, 0);
        record.assign(kRecordBufferSize, 0xAA);
        recordLength = length;
        return ComposeRecord(
            record,
            {.data = data, .form = form, .tempDir = tempDir, .version = version, .iccsn = iccsn},
            recordLength);
    }
    std::vector<std::uint8_t> Record() const {
        return {record.begin(), record.begin() + static_cast<std::ptrdiff_t>(recordLength)};
    }

    test::RecordingUi ui;
    std::vector<std::uint8_t> data, record;
    std::size_t recordLength = 0;
    std::string tempDir, version, iccsn;
};

TEST_F(ComposeTest, KvkExample) {
    ASSERT_EQ(Compose(Hex("80 03 41 42 43 8E 01 5A"), 8), ComposeResult::Built);
    EXPECT_EQ(test::ToHex(Record()), "04 4F 4B 56 4B 20 30 31 80 E3 41 42 43 8E E1 35 41 04");
}

// Where the tag search looks: 0x80 among bytes 0 to 9; 0x93 (first) or 0x8E in the length
// bytes from offset 4. Behind the data it sees zero bytes only, so byte n may be a zero there.
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
        {"TagOnTheLastDataByte", {{0, 0x80}, {39, 0x8E}}, 40, 41},
        {"TagPastTheDataIsNotThere", {{0, 0x80}, {40, 0x8E}}, 40, std::nullopt},
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
        const std::uint8_t sent = *c.n < c.length ? bytes[*c.n] : 0;
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
        // Kept bytes behind the zero, or behind the data, are zero bytes, raised to 0xE0.
        const std::size_t text = std::min(c.zeroAt, c.length);
        std::string kept;
        for (std::size_t i = 0; i < *c.n; ++i) {
            kept.push_back(i < text ? 'K' : '\xE0');
        }
        EXPECT_EQ(Text(Record()), kHeader + kept + (*c.n < text ? "4B" : "00") + "\x04");
    }
}

TEST_F(ComposeTest, KvkByteConversion) {
    // Bytes below 0x1F are raised by 0xE0; the byte sent as digits is never converted.
    ASSERT_EQ(Compose(Hex("80 00 01 1E 1F 20 7F FF 8E 05 02"), 11), ComposeResult::Built);
    EXPECT_EQ(test::ToHex(Record()),
              "04 4F 4B 56 4B 20 30 31 80 E0 E1 FE 1F 20 7F FF 8E E5 30 32 04");
}

TEST_F(ComposeTest, KvkRecordThatWouldNotFitIsRefused) {
    // Tags so far back that the record (n + 11) would overflow the 16384-byte buffer.
    for (const std::size_t tagAt : {std::size_t{16372}, std::size_t{16379}}) {
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

// The eGK form with a decompressor that records its command lines and writes the document
// given for PD or VD as the XML file, with the exit status given for it.
class EgkComposeTest : public ComposeTest {
  protected:
    struct Decompression {
        std::string xml;  // written as the XML file (in part, as a failing GZIP may leave it)
        int status = 0;
        int failuresFirst = 0;  // tries before that fail without writing (the start failed)
    };

    void SetUp() override {
        ComposeTest::SetUp();
        tempDir = temp.WithSeparator();
        SetCommandRunner([this](const std::string& line) {
            commands.push_back(line);
            for (auto& [name, result] : decompressions) {
                if (line.find(temp.WithSeparator() + name + ".GZ") != std::string::npos) {
                    const std::filesystem::path xml = temp.Path() / (name + ".XML");
                    // Every try begins without the output of an earlier one.
                    EXPECT_FALSE(std::filesystem::exists(xml)) << name;
                    if (result.failuresFirst > 0) {
                        --result.failuresFirst;
                        return -1;
                    }
                    test::WriteFileBytes(xml, Bytes(result.xml));
                    return result.status;
                }
            }
            return 1;  // no document: GZIP fails before it writes
        });
        decompressions["PD"] = {"<Kunde><Name>M\xFCller</Name></Kunde>"};
        decompressions["VD"] = {"<Beginn>20240101</Beginn>"};
        test::WriteFileBytes(temp.Path() / "ST.TXT", Bytes(std::string("0 2024\0rest", 11)));
    }

    test::TempFolder temp{"orva egk"};
    test::FastSleep sleep;
    std::map<std::string, Decompression> decompressions;
    std::vector<std::string> commands;
};

TEST(RecordFormTest, EgkFormOnlyForTheFilesOfThisRunsEgkBranch) {
    // The two-byte test decides only for data whose run stored all three eGK files; a memory
    // card's data (no files stored) take the KVK rules whatever they begin with.
    const StoredEgkFiles all{.status = true, .pd = true, .vd = true};
    const StoredEgkFiles none{};
    const StoredEgkFiles noVd{.status = true, .pd = true, .vd = false};
    const struct {
        const char* data;
        std::size_t length;  // zero bytes behind the given ones
        StoredEgkFiles stored;
        RecordForm form;
    } cases[] = {
        {"FF FF 80 8E 00", 5, all, RecordForm::Egk},
        {"FF FF", 16000, all, RecordForm::Egk},
        {"00 05 80 41 41", 5, all, RecordForm::Egk},
        {"01 00 41", 256, all, RecordForm::Egk},
        {"00 06 80 41 41 41 8E 00", 5, all, RecordForm::Kvk},  // a VD read that stopped early
        {"FF FE 80 41 41 8E 00 00", 8, all, RecordForm::Kvk},
        {"FF FF 80 8E 00", 5, none, RecordForm::Kvk},
        {"00 05 80 41 41", 5, none, RecordForm::Kvk},
        {"FF FF", 16000, noVd, RecordForm::Kvk},
        {"FF", 1, all, RecordForm::Kvk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        std::vector<std::uint8_t> data = Hex(c.data);
        data.resize(c.length, 0);
        EXPECT_EQ(ChooseRecordForm(data, c.stored), c.form);
    }
}

TEST_F(EgkComposeTest, BuiltFromTheValuesGivenAlone) {
    // Process state that would lead elsewhere: another folder with other documents.
    test::TempFolder elsewhere{"orva elsewhere"};
    test::WriteFileBytes(elsewhere.Path() / "PD.XML", Bytes("<Name>Anders</Name>"));
    core::Options().tempDir = elsewhere.WithSeparator();
    version = "003000000000300000010030000003";
    ASSERT_EQ(Compose(Hex("FF FF"), 2, RecordForm::Egk), ComposeResult::Built);
    EXPECT_EQ(Text(Record()), kHeader +
                                  "PD>Kunde>Name>M\xFCller\nVD>Beginn>20240101\nST>0 2024"
                                  "\nVER>003000000000300000010030000003\x04");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_NE(commands[0].find(temp.WithSeparator() + "PD.GZ"), std::string::npos);
}

TEST_F(EgkComposeTest, BlankMemoryCardTakesTheKvkRules) {
    // Erased memory reads FF; a memory card's 228 bytes without tags keep 218 of them.
    const std::vector<std::uint8_t> blank(228, 0xFF);
    ASSERT_EQ(ChooseRecordForm(blank, StoredEgkFiles{}), RecordForm::Kvk);
    ASSERT_EQ(Compose(blank, blank.size(), RecordForm::Kvk), ComposeResult::Built);
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(Text(Record()), kHeader + std::string(218, '\xFF') + "FF\x04");
}

TEST_F(EgkComposeTest, RecordOfThreeTextsVersionAndSerialNumber) {
    version = "000000000000300000000301000003";
    iccsn = "80276883110000017222";
    ASSERT_EQ(Compose(Hex("FF FF"), 2, RecordForm::Egk), ComposeResult::Built);
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
    ASSERT_EQ(Compose(Hex("FF FF"), 2, RecordForm::Egk), ComposeResult::Built);
    EXPECT_EQ(Text(Record()),
              kHeader + "PD>Kunde>Name>M\xFCller\nVD>Beginn>20240101\nST>0 2024\x04");
}

TEST_F(EgkComposeTest, FailedDecompressionGivesThePrefixAloneNeverOlderOrPartialData) {
    // An earlier card's documents still lie in the folder.
    test::WriteFileBytes(temp.Path() / "PD.XML", Bytes("<Name>Anders</Name>"));
    test::WriteFileBytes(temp.Path() / "VD.XML", Bytes("<Beginn>19990101</Beginn>"));
    const struct {
        const char* name;
        std::optional<Decompression> vd;  // none: GZIP writes nothing and fails
        std::string record;
    } cases[] = {
        {"NoOutput", std::nullopt, "PD>Kunde>Name>M\xFCller\nVD>ST>0 2024\x04"},
        {"PartOfTheDocument", Decompression{"<Beginn>2024", 1},
         "PD>Kunde>Name>M\xFCller\nVD>ST>0 2024\x04"},
        {"Whole", Decompression{"<Beginn>20240101</Beginn>", 0},
         "PD>Kunde>Name>M\xFCller\nVD>Beginn>20240101\nST>0 2024\x04"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ui.boxes.clear();
        decompressions.erase("VD");
        if (c.vd) {
            decompressions["VD"] = *c.vd;
        }
        ASSERT_EQ(Compose(Hex("FF FF"), 2, RecordForm::Egk), ComposeResult::Built);
        EXPECT_EQ(Text(Record()), kHeader + c.record);
        if (c.vd && c.vd->status == 0) {
            EXPECT_TRUE(ui.boxes.empty());
        } else {
            ASSERT_EQ(ui.boxes.size(), 1u);
            EXPECT_EQ(ui.boxes[0].text,
                      "Datei " + temp.WithSeparator() + "VD.XML kann nicht gelesen werden!");
            EXPECT_FALSE(std::filesystem::exists(temp.Path() / "VD.XML"));
        }
    }
}

TEST_F(EgkComposeTest, DecompressionIsTriedThreeTimesBeforeTheDocumentCountsAsUnreadable) {
    // Starting the decompression can fail for a moment; the document of this card is whole
    // once a later try succeeds.
    const std::string whole = "PD>Kunde>Name>M\xFCller\nVD>Beginn>20240101\nST>0 2024\x04";
    const struct {
        const char* name;
        Decompression vd;
        std::size_t tries;
        std::string record;
    } cases[] = {
        {"FailsOnce", Decompression{"<Beginn>20240101</Beginn>", 0, 1}, 2, whole},
        {"FailsTwice", Decompression{"<Beginn>20240101</Beginn>", 0, 2}, 3, whole},
        {"FailsEveryTime", Decompression{"<Beginn>2024", 1, 0}, 3,
         "PD>Kunde>Name>M\xFCller\nVD>ST>0 2024\x04"},
        {"StartFailsEveryTime", Decompression{"", 0, 3}, 3,
         "PD>Kunde>Name>M\xFCller\nVD>ST>0 2024\x04"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ui.boxes.clear();
        commands.clear();
        const std::size_t waitsBefore = sleep.Waits().size();
        test::WriteFileBytes(temp.Path() / "VD.XML", Bytes("<Beginn>19990101</Beginn>"));
        decompressions["VD"] = c.vd;
        ASSERT_EQ(Compose(Hex("FF FF"), 2, RecordForm::Egk), ComposeResult::Built);
        EXPECT_EQ(Text(Record()), kHeader + c.record);
        ASSERT_EQ(commands.size(), 1 + c.tries);
        EXPECT_EQ(commands.back(), commands[1]);
        const std::vector<unsigned> waits = sleep.Waits();
        EXPECT_EQ(std::vector<unsigned>(waits.begin() + static_cast<std::ptrdiff_t>(waitsBefore),
                                        waits.end()),
                  std::vector<unsigned>(c.tries - 1, 100u));
        EXPECT_EQ(ui.boxes.size(), c.record == whole ? 0u : 1u);
    }
}

TEST_F(EgkComposeTest, RecordThatWouldNotFitIsRefused) {
    // Each text fits the working buffer, together they do not fit the record buffer.
    std::string xml;
    for (int i = 0; i < 700; ++i) {
        xml += "<Eintrag>";
        xml += std::to_string(1000 + i);
        xml += "</Eintrag>";
    }
    decompressions["PD"] = {xml};
    decompressions["VD"] = {xml};
    EXPECT_EQ(Compose(Hex("FF FF"), 2, RecordForm::Egk), ComposeResult::TooLong);
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
    tempDir = temp.WithSeparator();

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
    version = "000000000000300000000301000003";

    ASSERT_EQ(Compose(Hex("FF FF"), 2, RecordForm::Egk), ComposeResult::Built);

    // What the record must hold: the flattened decompressed documents of the same card.
    test::TempFolder expected{"orva expected"};
    const auto xml = [&](const char* name) {
        return Text(test::ReadFileBytes(*samples / "egk_xml" / name));
    };
    const std::string pdText =
        test::FlattenText(expected, "PD.XML", xml("egkfeuer_sim_EF.PD.decompressed.xml"));
    const std::string vdText =
        test::FlattenText(expected, "VD.XML",
                          xml("egkfeuer_sim_EF.VD_VD.decompressed.xml") +
                              xml("egkfeuer_sim_EF.VD_GVD.decompressed.xml"));
    EXPECT_EQ(Text(Record()), kHeader + pdText + vdText + "ST>020090710144441 5.1.0" +
                                  "\nVER>000000000000300000000301000003\x04");
    EXPECT_NE(pdText.find("Versicherter>Person>Nachname>Musterkarte-0461\n"), std::string::npos);
    EXPECT_NE(vdText.find("\nGD>Zuzahlungsstatus>Status>0\n"), std::string::npos);
    EXPECT_TRUE(ui.boxes.empty());
}

}  // namespace
}  // namespace orva::record
