// The card-image reader: the shared fixtures read back as the cards they describe, the eGK
// files built from XML have the layout the reading run relies on, and every bad image is
// refused with one line naming the file, the line and the fault.
#include "card_image.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/test_support.h"

namespace orva::sim {
namespace {

const std::filesystem::path kCards = std::filesystem::path(ORVA_TEST_DATA_DIR) / "cards";

CardSet LoadFixture(const char* name) {
    std::string error;
    auto set = LoadCardImage(kCards / name, error);
    EXPECT_TRUE(set.has_value()) << error;
    return set ? *set : CardSet{};
}

ByteVector Gunzip(std::span<const std::uint8_t> bytes) {
    std::size_t consumed = 0;
    auto out = GunzipMember(bytes, consumed);
    EXPECT_TRUE(out.has_value());
    EXPECT_EQ(consumed, bytes.size()) << "bytes left after the gzip member";
    return out.value_or(ByteVector{});
}

unsigned BigEndian16(const ByteVector& bytes, std::size_t at) {
    return static_cast<unsigned>(bytes.at(at) << 8 | bytes.at(at + 1));
}

// XOR over the template from tag 60 through the value of 8E, with the BER length of tag 60.
std::uint8_t TemplateXor(const ByteVector& data, std::size_t start) {
    std::size_t length = data.at(start + 1);
    std::size_t header = 2;
    if (length == 0x81) {
        length = data.at(start + 2);
        header = 3;
    }
    std::uint8_t x = 0;
    for (std::size_t i = start; i < start + header + length; ++i) {
        x ^= data.at(i);
    }
    return x;
}

TEST(CardImageFixtures, KvkImagesHoldAValidTemplateAtTheApplicationStart) {
    for (const char* name : {"kvk.ini", "kvk_long.ini"}) {
        SCOPED_TRACE(name);
        const CardSet set = LoadFixture(name);
        ASSERT_EQ(set.cards.size(), 1u);
        const CardImage& card = set.cards[0];
        EXPECT_EQ(card.kind, CardKind::Kvk);
        EXPECT_EQ(card.request, test::Hex("90 00"));
        EXPECT_EQ(card.appOffset, 30u);
        // Header, then the directory at byte[3] & 0x7F naming the KVK application.
        ASSERT_GE(card.data.size(), 30u);
        const std::size_t dir = card.data[3] & 0x7F;
        EXPECT_EQ(dir + 2 + card.data[dir + 1], 30u);
        EXPECT_EQ(ByteVector(card.data.begin() + dir + 4, card.data.begin() + dir + 10),
                  test::Hex("D2 76 00 00 01 01"));
        EXPECT_EQ(card.data[30], 0x60);
        EXPECT_EQ(TemplateXor(card.data, 30), 0) << "checksum tag 8E";
    }
}

TEST(CardImageFixtures, EgkFilesAreBuiltFromTheXml) {
    const CardSet set = LoadFixture("egk.ini");
    ASSERT_EQ(set.cards.size(), 1u);
    const CardImage& card = set.cards[0];
    EXPECT_EQ(card.kind, CardKind::Egk);
    EXPECT_EQ(card.request, test::Hex("90 01"));
    ASSERT_EQ(card.version.size(), 3u);
    EXPECT_EQ(card.version[2], test::Hex("00 30 00 00 03"));
    ASSERT_TRUE(card.status && card.gdo && card.pd && card.vd);
    EXPECT_EQ(card.status->size(), 25u);

    // EF.PD: the 2-byte length counts exactly the gzip member behind it.
    const ByteVector& pd = *card.pd;
    ASSERT_EQ(BigEndian16(pd, 0), pd.size() - 2);
    EXPECT_EQ(Gunzip(std::span(pd).subspan(2)), test::ReadFileBytes(kCards / "egk_pd.xml"));

    // EF.VD: inclusive end offsets; the GVD follows the VD and ends at the file's last byte.
    const ByteVector& vd = *card.vd;
    const unsigned startVd = BigEndian16(vd, 0), endVd = BigEndian16(vd, 2);
    const unsigned startGvd = BigEndian16(vd, 4), endGvd = BigEndian16(vd, 6);
    EXPECT_EQ(startVd, 8u);
    EXPECT_EQ(startGvd, endVd + 1);
    EXPECT_EQ(endGvd, vd.size() - 1);
    EXPECT_EQ(Gunzip(std::span(vd).subspan(startVd, endVd - startVd + 1)),
              test::ReadFileBytes(kCards / "egk_vd.xml"));
    EXPECT_EQ(Gunzip(std::span(vd).subspan(startGvd, endGvd - startGvd + 1)),
              test::ReadFileBytes(kCards / "egk_gvd.xml"));
}

TEST(CardImageBuild, InsuranceDataWithoutProtectedDataMarksThemAbsent) {
    const std::string xml = "<a/>";
    const auto vd = BuildInsuranceDataFile(
        std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()), std::nullopt);
    ASSERT_TRUE(vd);
    EXPECT_EQ(BigEndian16(*vd, 2), vd->size() - 1);
    EXPECT_EQ(ByteVector(vd->begin() + 4, vd->begin() + 8), test::Hex("FF FF FF FF"));
}

TEST(CardImageBuild, DemoSetIsOneCompleteEgk) {
    const CardSet set = DemoCardSet();
    ASSERT_EQ(set.cards.size(), 1u);
    const CardImage& card = set.cards[0];
    EXPECT_EQ(card.kind, CardKind::Egk);
    ASSERT_TRUE(card.pd && card.vd && card.status && card.gdo);
    EXPECT_EQ(card.status->size(), 25u);
    const ByteVector pd = Gunzip(std::span(*card.pd).subspan(2));
    EXPECT_NE(std::string(pd.begin(), pd.end()).find("Kr\xFCmmelmann"), std::string::npos);
    const unsigned endGvd = BigEndian16(*card.vd, 6);
    EXPECT_EQ(endGvd, card.vd->size() - 1);
}

CardSet ParseOk(const std::string& text) {
    std::string error;
    auto set = ParseCardImage(text, kCards, "test.ini", error);
    EXPECT_TRUE(set.has_value()) << error;
    return set ? *set : CardSet{};
}

TEST(CardImageParse, ValuesCommentsAndDefaults) {
    const CardSet set = ParseOk(
        "# whole-line comment\n"
        "[terminal]\r\n"
        "init = -10, 0   ; the last one repeats\n"
        "reset = 6400    # inline comment\n"
        "latency_ms = 0x10\n"
        "fail_exchange = 7\n"
        "[card]\n"
        "kind = other\n"
        "[ card ]\n"
        "request = 90 01\n"
        "KIND = EGK\n"
        "extended_length = no\n"
        "pd = @egk_gvd.xml\n"
        "gdo =\n"
        "[card]\n"
        "kind = kvk\n"
        "data = 60 03 85 01 41\n");
    EXPECT_EQ(set.terminal.init, (std::vector<std::int8_t>{-10, 0}));
    EXPECT_EQ(set.terminal.reset, test::Hex("64 00"));
    EXPECT_EQ(set.terminal.latencyMs, 16u);
    EXPECT_EQ(set.terminal.failExchange, 7u);
    ASSERT_EQ(set.cards.size(), 3u);
    EXPECT_EQ(set.cards[0].request, test::Hex("6A 00"));
    EXPECT_EQ(set.cards[1].kind, CardKind::Egk);
    EXPECT_EQ(set.cards[1].request, test::Hex("90 01"));
    EXPECT_FALSE(set.cards[1].extendedLength);
    EXPECT_EQ(set.cards[1].pd, test::ReadFileBytes(kCards / "egk_gvd.xml"));
    EXPECT_EQ(set.cards[1].gdo, ByteVector{});  // present and empty
    EXPECT_FALSE(set.cards[1].status.has_value());
    EXPECT_TRUE(set.cards[1].version.empty());
    // A bare template without header: the application starts at its first byte.
    EXPECT_EQ(set.cards[2].appOffset, 0u);
    EXPECT_EQ(set.cards[2].eject, test::Hex("90 00"));
}

TEST(CardImageParse, RepeatAndRoundsGiveTheOrderOfInsertion) {
    struct Case {
        const char* text;
        const char* order;  // kinds in the order of insertion: k kvk, e egk, o other
    };
    const Case cases[] = {
        {"[card]\nkind = kvk\nrepeat = 2\n[card]\nkind = egk\n", "kke"},
        {"[terminal]\nrounds = 3\n[card]\nkind = kvk\nrepeat = 2\n[card]\nkind = egk\n",
         "kkekkekke"},
        {"[card]\nkind = other\n[card]\nkind = kvk\nrepeat = 0\n[terminal]\nrounds = 2\n", "oo"},
        {"[terminal]\nrounds = 0\n[card]\nkind = kvk\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto set = ParseCardImage(c.text, kCards, "test.ini", error);
        ASSERT_TRUE(set.has_value()) << error;
        std::string order;
        for (const CardImage& card : set->cards) {
            order += card.kind == CardKind::Kvk ? 'k' : card.kind == CardKind::Egk ? 'e' : 'o';
        }
        EXPECT_EQ(order, c.order);
    }

    // A card's own latency stands beside the terminal's; without one the terminal's applies.
    std::string error;
    const auto set = ParseCardImage(
        "[terminal]\nlatency_ms = 3\n[card]\nkind = kvk\nlatency_ms = 7\n[card]\nkind = egk\n",
        kCards, "test.ini", error);
    ASSERT_TRUE(set.has_value()) << error;
    EXPECT_EQ(set->terminal.latencyMs, 3u);
    EXPECT_EQ(set->cards[0].latencyMs, 7u);
    EXPECT_FALSE(set->cards[1].latencyMs.has_value());
}

TEST(CardImageParse, BadImagesGiveOneLineNamingFileLineAndFault) {
    struct Case {
        const char* text;
        const char* expected;  // the whole message after "test.ini:"
    };
    const Case cases[] = {
        {"[card]\nkind = kvk\ndata = 60 0G\n", "3: bad hex digit 'G' in the value of key 'data'"},
        {"[card]\nkind = egk\ngdo = 5A 0\n",
         "3: odd number of hex digits in the value of key 'gdo'"},
        {"[terminal]\nspeed = 9600\n", "2: unknown key 'speed' in [terminal]"},
        {"[card]\nkind = egk\ncolour = blue\n", "3: unknown key 'colour' in [card]"},
        {"[terminal]\n\n[card]\nrequest = 90 00\n",
         "3: [card] section has no 'kind' (egk, kvk or other)"},
        {"[card]\nkind = smart\n", "2: kind must be egk, kvk or other, got 'smart'"},
        {"[card]\nkind = egk\ndata = 60 00\n",
         "3: key 'data' does not apply to a card of kind egk"},
        {"[card]\nkind = egk\nstatus = 30\nstatus = 31\n",
         "4: key 'status' given twice in one section"},
        {"kind = egk\n", "1: 'kind = egk' stands before the first section"},
        {"[reader]\n", "1: unknown section [reader]"},
        {"[card\n", "1: section header without closing ']'"},
        {"[card]\nkind egk\n", "2: expected 'key = value' or '[section]', got 'kind egk'"},
        {"[terminal]\ninit = 0, x\n", "2: key 'init' needs results from -128 to 127, got 'x'"},
        {"[terminal]\nlatency_ms = -1\n", "2: key 'latency_ms' needs a whole number, got '-1'"},
        {"[card]\nkind = egk\nextended_length = maybe\n",
         "3: key 'extended_length' needs yes or no, got 'maybe'"},
        {"[card]\nkind = kvk\ndata = 60 00\napp_offset = 3\n",
         "1: app_offset 3 lies beyond the memory image of 2 bytes"},
        {"[card]\nkind = egk\npd = 00\npd_xml = @egk_pd.xml\n",
         "4: give either 'pd' or 'pd_xml', not both"},
        {"[card]\nkind = egk\ngvd_xml = @egk_gvd.xml\n", "3: 'gvd_xml' needs 'vd_xml'"},
        {"[terminal]\n[terminal]\n", "2: a second [terminal] section"},
        {"[card]\nkind = kvk\n\n[terminal]\nrounds = 10001\n",
         "4: the image makes more than 10000 cards (repeat and rounds)"},
        {"[card]\nkind = kvk\nrepeat = 4294967295\n[card]\nkind = kvk\nrepeat = 4294967295\n",
         "1: the image makes more than 10000 cards (repeat and rounds)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(ParseCardImage(c.text, kCards, "test.ini", error).has_value());
        EXPECT_EQ(error, std::string("test.ini:") + c.expected);
    }
}

TEST(CardImageParse, MissingFilesAreNamed) {
    // The image itself: missing, or a folder (reading a folder once threw out of the reader).
    for (const std::filesystem::path& image : {kCards / "no_such_image.ini", kCards}) {
        std::string error;
        EXPECT_FALSE(LoadCardImage(image, error).has_value());
        EXPECT_EQ(error, image.string() + ": cannot read the card image file");
    }

    using namespace std::string_literals;
    struct Case {
        std::string value;     // of key pd
        std::string expected;  // the message after "test.ini:3: "
    };
    const Case cases[] = {
        {"@gone.bin", "cannot read file '" + (kCards / "gone.bin").string() + "' for key 'pd'"},
        {"@.", "cannot read file '" + (kCards / ".").string() + "' for key 'pd'"},
        // The system would open the name up to the zero byte: here the image's own folder.
        {"@\0egk_pd.xml"s, "the file name for key 'pd' holds a zero byte"},
        {"@egk_pd.xml\0.bak"s, "the file name for key 'pd' holds a zero byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::string error;
        EXPECT_FALSE(ParseCardImage("[card]\nkind = egk\npd = " + c.value + "\n", kCards,
                                    "test.ini", error));
        EXPECT_EQ(error, "test.ini:3: " + c.expected);
    }
}

}  // namespace
}  // namespace orva::sim
