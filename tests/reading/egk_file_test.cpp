#include "reading/egk_file.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "reading/reading_fixture.h"
#include "terminal/executor.h"

namespace orva::reading {
namespace {

using test::Hex;
using test::ToHex;
using Bytes = std::vector<std::uint8_t>;

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    from = std::min(from, bytes.size());
    return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
            bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size()))};
}

// An invented file of the given size that begins with the given header bytes.
Bytes CardFile(const std::string& header, std::size_t size) {
    Bytes file = Hex(header);
    for (std::size_t i = file.size(); i < size; ++i) {
        file.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    }
    return file;
}

// Scripts a card that holds `file` and returns at most `chunk` bytes per READ BINARY, ending the
// answer with 62 82 when it reaches the end of the file. The offset of each read is taken from
// the command it expects (P1 with the high bit: short file identifier, offset in P2).
void ScriptReads(test::ScriptedCtApi& ctapi, const Bytes& file, std::size_t chunk,
                 const std::vector<std::string>& commands) {
    for (const std::string& command : commands) {
        const Bytes bytes = Hex(command);
        const std::size_t offset = (bytes[2] & 0x80) != 0 ? bytes[3] : bytes[2] * 256u + bytes[3];
        Bytes answer = Slice(file, offset, offset + chunk);
        answer = answer + Hex(offset + chunk >= file.size() ? "62 82" : "90 00");
        ctapi.Expect(command, ToHex(answer));
    }
}

class EgkFileTest : public ReadingTest {
  protected:
    terminal::Response response{};
    RunData run;
    terminal::TerminalSession session;
};

// ---------------------------------------------------------------------------------------------
// EF.PD and EF.VD in chunks

struct ChunkCase {
    const char* name;
    int row;
    int start;
    Bytes file;
    std::size_t chunk;
    std::vector<std::string> commands;
    Bytes stored;
    friend void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<ChunkCase> ChunkCases() {
    const Bytes pd = CardFile("01 50", 2 + 0x150);  // 336 gzip bytes behind the count
    // VD ends at 0x11F, the protected data at 0x13F, the last byte of the file.
    const Bytes vd = CardFile("00 08 01 1F 01 20 01 3F", 0x140);
    const Bytes vdNoGvd = CardFile("00 08 00 9F FF FF FF FF", 0xA0);
    const Bytes pdUnknown = CardFile("FF FF", 102);
    const Bytes zeros(5, 0);
    return {
        // First answer 255 file bytes: the next one is at 255, still in P2 beside the SFI.
        {"PdFollowUpAtOffset255",
         terminal::kRowReadPd,
         0,
         pd,
         255,
         {"00 B0 81 00 00 00 00", "00 B0 81 FF 00 00 00"},
         Slice(pd, 2, 338)},
        // 256: P1 P2 carry the offset of the current file.
        {"PdFollowUpAtOffset256",
         terminal::kRowReadPd,
         0,
         pd,
         256,
         {"00 B0 81 00 00 00 00", "00 B0 01 00 00 00 00"},
         Slice(pd, 2, 338)},
        // From offset 6: the target is the end offset at bytes 6-7; a count 6 short of it is
        // raised to it, so the stored bytes run past the file's end by the status word and zeros.
        {"VdFromOffset6",
         terminal::kRowReadVd,
         6,
         vd,
         256,
         {"00 B0 82 00 00 00 00", "00 B0 01 00 00 00 00"},
         Slice(vd, 8, 0x140) + Hex("62 82") + zeros},
        {"VdWithoutProtectedDataTakesBytes2And3",
         terminal::kRowReadVd,
         6,
         vdNoGvd,
         256,
         {"00 B0 82 00 00 00 00"},
         Slice(vdNoGvd, 8, 0xA0) + Hex("62 82") + zeros},
        // FF FF count: what the first answer held, its status word included.
        {"PdWithUnknownCountStoresTheFirstAnswer",
         terminal::kRowReadPd,
         0,
         pdUnknown,
         256,
         {"00 B0 81 00 00 00 00"},
         Slice(pdUnknown, 2, 102) + Hex("62 82")},
        {"VdOfOnlySixBytesIsEmpty",
         terminal::kRowReadVd,
         6,
         CardFile("00 08 00 10", 6),
         256,
         {"00 B0 82 00 00 00 00"},
         {}},
    };
}

class EgkChunkTest : public EgkFileTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(EgkChunkTest, StoresTheFileFromItsChunks) {
    const ChunkCase& c = GetParam();
    ScriptReads(ctapi, c.file, c.chunk, c.commands);
    const char* name = c.row == terminal::kRowReadPd ? "PD.GZ" : "VD.GZ";

    const std::size_t stored =
        ReadEgkFile(ctapi, session, c.row, (folder.Path() / name).string(), c.start, response, run);

    EXPECT_EQ(DataCalls(), c.commands);
    EXPECT_EQ(stored, c.stored.size());
    EXPECT_EQ(ToHex(Stored(name)), ToHex(c.stored));
    // The run's buffer holds the stored bytes behind the two file bytes at the start offset.
    EXPECT_EQ(run.length, stored);
    if (stored > 0) {
        const auto& data = run.buffer;
        EXPECT_EQ(Bytes(data.begin(), data.begin() + 2), Slice(c.file, c.start, c.start + 2));
        EXPECT_EQ(Bytes(data.begin() + 2, data.begin() + 2 + stored), c.stored);
    }
    // The row's command bytes are as they were.
    // The data view shows the first answer only.
    ASSERT_EQ(ui.memo.size(), 2u);
    EXPECT_EQ(ui.memo[1], "");
}

INSTANTIATE_TEST_SUITE_P(Files, EgkChunkTest, ::testing::ValuesIn(ChunkCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A card that refuses the extended Le: one 67 00 switches rows 10 and 11 to the short form for
// the rest of the process, follow-up chunks included.
TEST_F(EgkFileTest, WrongLengthSwitchesBothDataRowsToShortLeForGood) {
    const Bytes status = Ascii("020090710144441") + Hex("00 50 01 00 00 00 00 00 00 00 90 00");
    ctapi.Expect("00 B0 8C 00 00", "67 00").Expect("00 B0 8C 00 00", ToHex(status));
    EXPECT_EQ(ReadEgkFile(ctapi, session, terminal::kRowReadStatus, TempFile("ST.TXT").string(), 0,
                          response, run),
              35u);

    const Bytes pd = CardFile("01 50", 2 + 0x150);
    ScriptReads(ctapi, pd, 256, {"00 B0 81 00 00", "00 B0 01 00 00"});
    EXPECT_EQ(ReadEgkFile(ctapi, session, terminal::kRowReadPd, TempFile("PD.GZ").string(), 0,
                          response, run),
              336u);
    EXPECT_EQ(Stored("PD.GZ"), Slice(pd, 2, 338));

    const Bytes vd = CardFile("00 08 00 9F FF FF FF FF", 0xA0);
    ScriptReads(ctapi, vd, 256, {"00 B0 82 00 00"});
    EXPECT_EQ(ReadEgkFile(ctapi, session, terminal::kRowReadVd, TempFile("VD.GZ").string(), 6,
                          response, run),
              159u);
    EXPECT_EQ(ctapi.Remaining(), 0u);
}

// ---------------------------------------------------------------------------------------------
// EF.StatusVD

struct StatusCase {
    const char* name;
    Bytes answer;
    Bytes stored;
    friend void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<StatusCase> StatusCases() {
    const Bytes versions = Hex("00 50 01 00 00 00 30 00 00 00");
    const Bytes versionsText = Ascii("00500100000030000000");
    const Bytes plain = Ascii("020090710144441");
    const Bytes mobile = Hex("91 08") + Ascii("19022018");
    return {
        {"Plain", plain + versions + Hex("90 00"), plain + versionsText},
        // A mobile terminal's buffer: two leading bytes, and the appended data objects without
        // the last two data bytes: lenr + 4 bytes.
        {"A0", Hex("A0 27") + plain + versions + mobile + Hex("93 5A 90 00"),
         plain + versionsText + mobile},
        // Too short for any appended object: the fixed part alone.
        {"A0WithoutTail", Hex("A0 19") + plain + versions + Hex("90 00"), plain + versionsText},
        {"OnlyStatusWord", Hex("6A 82"), {}},
    };
}

class EgkStatusTest : public EgkFileTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(EgkStatusTest, StoresTheStatusText) {
    const StatusCase& c = GetParam();
    ctapi.Expect("00 B0 8C 00 00", ToHex(c.answer));
    const std::size_t stored = ReadEgkFile(ctapi, session, terminal::kRowReadStatus,
                                           TempFile("ST.TXT").string(), 0, response, run);
    EXPECT_EQ(stored, c.stored.size());
    EXPECT_EQ(ToHex(Stored("ST.TXT")), ToHex(c.stored));
}

INSTANTIATE_TEST_SUITE_P(Forms, EgkStatusTest, ::testing::ValuesIn(StatusCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EgkFileTest, StatusReadWaitsForThePin) {
    const Bytes status = Ascii("020090710144441") + Hex("00 50 01 00 00 00 00 00 00 00 90 00");
    ctapi.Expect("00 B0 8C 00 00", "69 00").Expect("00 B0 8C 00 00", ToHex(status));
    EXPECT_EQ(ReadEgkFile(ctapi, session, terminal::kRowReadStatus, TempFile("ST.TXT").string(), 0,
                          response, run),
              35u);
    EXPECT_EQ(sleep.Waits(), std::vector<unsigned>{1000});
    EXPECT_EQ(ui.status.back(), terminal::kPinPrompt);
}

// ---------------------------------------------------------------------------------------------
// EF.Version and EF.GDO: hex text in the file and in the reader state

TEST_F(EgkFileTest, VersionRecordsAndSerialNumberBecomeHexText) {
    ctapi.Expect("00 B2 01 84 00", "00 30 00 00 00 90 00")
        .Expect("00 B2 02 04 00", "00 30 00 01 00 90 00")
        .Expect("00 B2 03 04 00", "00 30 00 03 00 90 00")
        .Expect("00 B0 82 00 00", "5A 0A 80 27 68 83 11 00 00 01 72 22 90 00");

    EXPECT_EQ(ReadEgkFile(ctapi, session, terminal::kRowReadVersion1, TempFile("VER.TXT").string(),
                          0, response, run),
              30u);
    EXPECT_EQ(run.version, "003000000000300001000030000300");
    EXPECT_EQ(Stored("VER.TXT"), Ascii(run.version));
    // The data view shows the latest answer, the third record.
    EXPECT_EQ(ui.memo, (std::vector<std::string>{"x00 0x00 x03 x00 x90 x00 ", ""}));

    EXPECT_EQ(ReadEgkFile(ctapi, session, terminal::kRowReadGdo, TempFile("GDO.TXT").string(), 0,
                          response, run),
              24u);
    EXPECT_EQ(run.iccsn, "5A0A80276883110000017222");
    EXPECT_EQ(Stored("GDO.TXT"), Ascii(run.iccsn));
}

// ---------------------------------------------------------------------------------------------
// Answers that must not be taken at face value

// A count that the data buffer cannot hold: the file counts as not read and an older PD.GZ is
// replaced by an empty one.
TEST_F(EgkFileTest, FileTooLongForTheDataBufferCountsAsNotRead) {
    test::WriteFileBytes(TempFile("PD.GZ"), Hex("1F 8B 08 00"));
    const Bytes pd = CardFile("FF F0", 0xFFF2);
    ScriptReads(ctapi, pd, 9000, {"00 B0 81 00 00 00 00", "00 B0 23 28 00 00 00"});
    EXPECT_EQ(ReadEgkFile(ctapi, session, terminal::kRowReadPd, TempFile("PD.GZ").string(), 0,
                          response, run),
              0u);
    EXPECT_TRUE(Stored("PD.GZ").empty());
    EXPECT_EQ(ctapi.Remaining(), 0u);
}

// A reading that ends short of the file's end counts as not read: a follow-up answered without
// data (which would ask for the same chunk for ever), a stop status, a failed exchange.
TEST_F(EgkFileTest, FileReadShortOfItsEndCountsAsNotRead) {
    const Bytes pd = CardFile("01 50", 2 + 0x150);
    const test::ScriptedExchange ends[] = {
        {"00 B0 01 00 00 00 00", "90 00", 0, true, {}},
        {"00 B0 01 00 00 00 00", "6B 00", 0, true, {}},
        {"00 B0 01 00 00 00 00", "", -1, false, {}},
    };
    for (const test::ScriptedExchange& end : ends) {
        SCOPED_TRACE(end.response + " / " + std::to_string(end.result));
        test::ScriptedCtApi script;
        script.Expect("00 B0 81 00 00 00 00", ToHex(Slice(pd, 0, 256) + Hex("90 00"))).Then(end);
        EXPECT_EQ(ReadEgkFile(script, session, terminal::kRowReadPd, TempFile("PD.GZ").string(), 0,
                              response, run),
                  0u);
        EXPECT_TRUE(Stored("PD.GZ").empty());
        EXPECT_EQ(run.length, 0u);
        EXPECT_EQ(script.Remaining(), 0u);
    }
}

}  // namespace
}  // namespace orva::reading
