// Flattening of the insurance-data documents: the two worked examples of the document shape,
// the rules that give surprising but intended results, the bounds, and real card documents.
#include <gtest/gtest.h>

#include <fstream>

#include "record/flatten.h"
#include "record_test_support.h"
#include "support/recording_ui.h"

namespace orva::record {
namespace {

using test::FlattenText;

class FlattenTest : public ::testing::Test {
  protected:
    test::RecordingUi ui;
    test::TempFolder folder{"orva-flatten"};
};

TEST_F(FlattenTest, PersonalDataExample) {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<UC_BeispielXML CDM_VERSION='5.2.0'>\n"
        "<Kunde><Nummer>A123</Nummer>\n"
        "<Anschrift><Ort>Musterort</Ort><Land/><Zusatz></Zusatz></Anschrift>\n"
        "</Kunde></UC_BeispielXML>\n";
    EXPECT_EQ(FlattenText(folder, "PD.XML", xml),
              "PD>CDM_VERSION>5.2.0\n"
              "Kunde>Nummer>A123\n"
              "Kunde>Anschrift>Ort>Musterort\n"
              "Kunde>Anschrift>Zusatz>\n");
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(FlattenTest, TwoPrefixedDocumentsMarkTheProtectedData) {
    const std::string xml =
        "<?xml version=\"1.0\"?><vsd:UC_AllgemeineBeispielXML CDM_VERSION=\"5.2.0\" "
        "xmlns:vsd=\"urn:x\"><vsd:Kunde><vsd:Beginn>1</vsd:Beginn></vsd:Kunde>"
        "</vsd:UC_AllgemeineBeispielXML>"
        "<?xml version=\"1.0\"?><vsd:UC_GeschuetzteVersichertendatenXML CDM_VERSION=\"5.1.0\" "
        "xmlns:vsd=\"urn:x\"><vsd:Status>0</vsd:Status></vsd:UC_GeschuetzteVersichertendatenXML>";
    EXPECT_EQ(FlattenText(folder, "VD.XML", xml),
              "VD>CDM_VERSION>5.2.0\nKunde>Beginn>1\nGD>Status>0\n");
}

struct FlattenCase {
    std::string name;
    std::string xml;
    std::string flat;  // behind the "PD>" prefix
};

TEST_F(FlattenTest, ScanRules) {
    // Each row shows one rule of the scan; the comment says why the result looks as it does.
    const std::string farAttribute = " a=\"" + std::string(300, '.') + "\"";
    const std::vector<FlattenCase> cases = {
        // Attributes stay in the path.
        {"Attributes", "<Rr><Cc a=\"1\">2</Cc></Rr>", "Rr>Cc a=\"1\">2\n"},
        // A one-character name gives no line, and its entry lingers until the next removal.
        {"OneCharacterName", "<Rr><a>1</a><Bb>2</Bb></Rr><Cc>3</Cc>", "Rr>a>Bb>2\nRr>Cc>3\n"},
        // Only the first <Land/> is cut out; a second one enters the path like any
        // self-closing tag.
        {"SelfClosingLand", "<Land/><Rr><Land/><Bb>2</Bb></Rr><Cc>3</Cc>",
         "Rr>Land/>Bb>2\nRr>Cc>3\n"},
        {"SelfClosingOther", "<Rr><Dd/><Bb>2</Bb></Rr><Cc>3</Cc>", "Rr>Dd/>Bb>2\nRr>Cc>3\n"},
        // A comment is taken for an opening tag.
        {"Comment", "<Rr><!-- c --><Bb>2</Bb></Rr><Cc>3</Cc>", "Rr>!-- c -->Bb>2\nRr>Cc>3\n"},
        // A ':' within the first 40 bytes of a tag drops everything before it.
        {"ColonInAttribute", "<Person xmlns:x=\"u\"><Id>7</Id></Person>", "x=\"u\">Id>7\n"},
        {"ProcessingInstructionWithColon", "<?pi a:b?><Rr>1</Rr>", "b?>Rr>1\n"},
        {"PrefixedValue", "<ns:Rr><ns:Bb>2</ns:Bb></ns:Rr>", "Rr>Bb>2\n"},
        // The protected root with an upper-case prefix and its ">" more than 300 bytes away.
        {"UpperCasePrefixFarRoot",
         "<Aa>1</Aa><VSD:UC_GeschuetzteVersichertendatenXML" + farAttribute +
             "><VSD:Status>0</VSD:Status></VSD:UC_GeschuetzteVersichertendatenXML>",
         "Aa>1\nGD>Status>0\n"},
        // The protected-data marker needs output behind the prefix.
        {"MarkerOnlyAfterOutput", "<UC_GeschuetzteVersichertendatenXML><Status>0</Status>",
         "Status>0\n"},
        {"VersionShorterThanFive", "<UC_X CDM_VERSION='5.1'><Aa>x</Aa>",
         "CDM_VERSION>5.1'>\nAa>x\n"},
        {"VersionAtTheVeryEnd", "<Aa>x</Aa><UC_X CDM_VERSION='5", "CDM_VERSION>5\nAa>x\n"},
        // Entities and line breaks inside a value stay as they are.
        {"RawValue", "<Nn>A &amp; B\nC</Nn>", "Nn>A &amp; B\nC\n"},
        // Text in front of a child element is lost; the parent gives no line of its own.
        {"MixedContent", "<Rr>lost<Bb>2</Bb></Rr>", "Rr>Bb>2\n"},
        {"UnclosedTag", "<Rr>1</Rr><Bb", "Rr>1\n"},
        {"Empty", "", ""},
    };
    for (const FlattenCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FlattenText(folder, "PD.XML", c.xml), "PD>" + c.flat);
    }
}

TEST_F(FlattenTest, StatusFileIsPassedThroughUpToItsFirstZero) {
    const std::string status("0 20090710144441 <x>\n\0tail", 26);
    EXPECT_EQ(FlattenText(folder, "ST.TXT", status), "ST>0 20090710144441 <x>\n");
}

TEST_F(FlattenTest, MissingFileGivesThePrefixAloneAndABox) {
    const std::string path = (folder.Path() / "VD.XML").string();
    std::vector<std::uint8_t> out(64, 0xAA);
    EXPECT_EQ(FlattenFile(path, out), 3u);
    EXPECT_EQ(test::Text({out.begin(), out.begin() + 4}), std::string("VD>\0", 4));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].caption, "Fehler");
    EXPECT_EQ(ui.boxes[0].text, "Datei " + path + " kann nicht gelesen werden!");
}

TEST_F(FlattenTest, OnlyTheFirst29999BytesAreRead) {
    // The closing tag of Bb is seen when its "/" is byte 29998, the last one read, and not
    // when it is byte 29999.
    const auto withClosingSlashAt = [](std::size_t slash) {
        const std::string head = "<Aa>1</Aa>";
        return head + std::string(slash - head.size() - 6, ' ') + "<Bb>2</Bb>";
    };
    EXPECT_EQ(FlattenText(folder, "PD.XML", withClosingSlashAt(29998)), "PD>Aa>1\nBb>2\n");
    EXPECT_EQ(FlattenText(folder, "PD.XML", withClosingSlashAt(29999)), "PD>Aa>1\n");
}

TEST_F(FlattenTest, TextThatWouldOverflowTheOutputIsRefused) {
    std::string xml;
    for (int i = 0; i < 600; ++i) {
        xml += "<Element>value-" + std::to_string(i) + "</Element>";
    }
    // Fits the data buffer...
    const std::string flat = FlattenText(folder, "PD.XML", xml);
    ASSERT_NE(flat, "<none>");
    // ...but not one a byte shorter than the text and its zero.
    const auto path = folder.Path() / "PD.XML";
    std::vector<std::uint8_t> small(flat.size(), 0xAA);
    EXPECT_EQ(FlattenFile(path.string(), small), std::nullopt);
    EXPECT_EQ(test::Text({small.begin(), small.begin() + 4}), std::string("PD>\0", 4));
    std::vector<std::uint8_t> exact(flat.size() + 1, 0xAA);
    EXPECT_EQ(FlattenFile(path.string(), exact), flat.size());
}

TEST_F(FlattenTest, PathLongerThan251CharactersIsRefused) {
    // 24 nested entries of 10 characters ("Element01>") are 240 characters; an innermost entry
    // of 11 brings the path to 251 and fits, one of 12 does not.
    std::string open, close;
    for (int i = 0; i < 24; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Element%02d", i);
        open += std::string("<") + name + ">";
        close = std::string("</") + name + ">" + close;
    }
    const std::string deep =
        FlattenText(folder, "PD.XML", open + "<Abcdefghij>v</Abcdefghij>" + close);
    EXPECT_EQ(deep.size(), 3 + 251 + 2);
    EXPECT_EQ(FlattenText(folder, "PD.XML", open + "<Abcdefghijk>v</Abcdefghijk>" + close),
              "<none>");
}

// Real card documents, checked on lines worked out by hand from the rules.
struct SampleCase {
    const char* file;
    const char* prefixName;  // the file name FlattenFile sees
    std::vector<std::string> lines;
};

TEST_F(FlattenTest, RealDocuments) {
    const auto samples = test::SamplesDir();
    if (!samples) {
        GTEST_SKIP() << "no samples folder";
    }
    const std::vector<SampleCase> cases = {
        {"egk_xml/egkfeuer_sim_EF.PD.decompressed.xml",
         "PD.XML",
         {"PD>CDM_VERSION>5.1.0\nVersicherter>Versicherten_ID>D110104619\n",
          "\nVersicherter>Person>Geburtsdatum>19800112\n",
          "\nVersicherter>Person>StrassenAdresse>Land>Wohnsitzlaendercode>D\n",
          "\nVersicherter>Person>StrassenAdresse>Strasse>M\xFChlenstr.\n"
          "Versicherter>Person>StrassenAdresse>Hausnummer>46\n"}},
        {"egk_xml/egkfeuer_v52.vd.xml",
         "VD.XML",
         {"VD>CDM_VERSION>5.2.0\nVersicherter>Versicherungsschutz>Beginn>20090101\n",
          "\nVersicherter>Versicherungsschutz>Kostentraeger>AbrechnenderKostentraeger>Name>"
          "mhplus BKK\n",
          "\nVersicherter>Zusatzinfos>ZusatzinfosGKV>Zusatzinfos_Abrechnung_GKV>WOP>52\n"}},
        {"egk_xml/egkfeuer_sim_EF.VD_GVD.decompressed.xml",
         "VD.XML",
         // The version line counts as output, so even a lone protected document is marked.
         {"VD>CDM_VERSION>5.1.0\nGD>Zuzahlungsstatus>Status>0\nDMP_Kennzeichnung>3\n"}},
        {"eeb_vsd/Testdatensatz_Wayne_Bruce_UC_PersoenlicheVersichertendatenXML.xml",
         "PD.XML",
         {"PD>CDM_VERSION>5.2.0\nVersicherter>Versicherten_ID>X110670799\n",
          "\nVersicherter>Person>PostfachAdresse>Land>Wohnsitzlaendercode>D\n",
          "\nVersicherter>Person>StrassenAdresse>Strasse>Gotham Boulevard\n"
          "Versicherter>Person>StrassenAdresse>Hausnummer>1\n"}},
    };
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(c.file);
        const auto bytes = test::ReadFileBytes(*samples / c.file);
        const std::string flat = FlattenText(folder, c.prefixName, test::Text(bytes));
        EXPECT_EQ(flat.rfind(c.lines.front(), 0), 0u) << flat;
        for (const std::string& line : c.lines) {
            EXPECT_NE(flat.find(line), std::string::npos) << line << "\nin\n" << flat;
        }
        EXPECT_EQ(flat.back(), '\n');
    }
}

TEST_F(FlattenTest, RealInsuranceDataWithTheProtectedPartBehindIt) {
    const auto samples = test::SamplesDir();
    if (!samples) {
        GTEST_SKIP() << "no samples folder";
    }
    const auto vd =
        test::ReadFileBytes(*samples / "egk_xml/egkfeuer_sim_EF.VD_VD.decompressed.xml");
    const auto gvd =
        test::ReadFileBytes(*samples / "egk_xml/egkfeuer_sim_EF.VD_GVD.decompressed.xml");
    const std::string flat = FlattenText(folder, "VD.XML", test::Text(vd) + test::Text(gvd));
    // One version line, from the first document; the protected part follows behind "GD>".
    EXPECT_EQ(
        flat.rfind("VD>CDM_VERSION>5.1.0\nVersicherter>Versicherungsschutz>Beginn>19970901\n", 0),
        0u);
    EXPECT_EQ(flat.find("CDM_VERSION", 5), std::string::npos);
    const std::string tail =
        "Versicherter>Zusatzinfos>ZusatzinfosGKV>Zusatzinfos_Abrechnung_GKV>WOP>01\n"
        "GD>Zuzahlungsstatus>Status>0\nDMP_Kennzeichnung>3\n";
    ASSERT_GE(flat.size(), tail.size());
    EXPECT_EQ(flat.substr(flat.size() - tail.size()), tail);
}

}  // namespace
}  // namespace orva::record
