// The simulators' card-image reader over any image text. "@" values name files in a folder
// that holds the fixtures' XML files, a binary file and a subfolder; inputs that reach outside
// it (a path from the root, "..") are skipped, so that the target never reads devices or
// other people's files.
//
// A parsed image must be usable as the simulators use it; a refused one gives one line
// "fuzz.ini:<line>: <fault>". No exception may leave the reader.
#include <string>
#include <string_view>

#include "card_image.h"
#include "fuzz_support.h"

namespace {

bool ReachesOutside(std::string_view text) {
    if (text.find("..") != text.npos) {
        return true;
    }
    for (std::size_t at = text.find('@'); at != text.npos; at = text.find('@', at + 1)) {
        std::size_t p = at + 1;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) {
            ++p;
        }
        if (p < text.size() && (text[p] == '/' || text[p] == '\\')) {
            return true;
        }
    }
    return false;
}

bool Fill(const orva::fuzz::Sandbox& s) {
    const std::string pd =
        "<?xml version=\"1.0\"?><UC_PersoenlicheVersichertendatenXML "
        "CDM_VERSION=\"5.2.0\"><Versicherter><Person><Name>Muster"
        "</Name></Person></Versicherter></UC_PersoenlicheVersichertendatenXML>";
    const std::string bin = "\x5A\x0A\x80\x27\x69\x99\x99\x00\x00\x65\x43\x21";
    s.Write("pd.xml", std::span(reinterpret_cast<const std::uint8_t*>(pd.data()), pd.size()));
    s.Write("gdo.bin", std::span(reinterpret_cast<const std::uint8_t*>(bin.data()), bin.size()));
    s.Write("empty.bin", {});
    std::filesystem::create_directories(s.Path() / "dir");
    return true;
}

const orva::fuzz::Sandbox& Folder() {
    static const orva::fuzz::Sandbox sandbox("cardimage");
    static const bool filled = Fill(sandbox);
    (void)filled;
    return sandbox;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (ReachesOutside(text)) {
        return 0;
    }
    std::string error;
    const auto set = orva::sim::ParseCardImage(text, Folder().Path(), "fuzz.ini", error);
    if (!set) {
        ORVA_FUZZ_CHECK(error.rfind("fuzz.ini:", 0) == 0);
        ORVA_FUZZ_CHECK(error.find('\n') == std::string::npos);
        return 0;
    }
    ORVA_FUZZ_CHECK(error.empty());
    ORVA_FUZZ_CHECK(!set->terminal.init.empty());
    for (const orva::sim::CardImage& card : set->cards) {
        // The application a terminal serves lies inside the memory image.
        const auto app = orva::sim::KvkApplication(card);
        if (!app.empty()) {
            ORVA_FUZZ_CHECK(app.data() >= card.data.data() &&
                            app.data() + app.size() <= card.data.data() + card.data.size());
        }
    }
    return 0;
}
