// The built-in demo set: what the simulated terminal presents when no card image is named.
// One eGK of a generation-1-plus card with an invented insured person, then an empty terminal.
// The XML documents are ours, in the 5.2 form and ISO-8859-15 ("\xFC" is u-umlaut), and are
// compressed when the set is made, exactly as a card issuer would write EF.PD and EF.VD.
#include <string_view>

#include "card_image.h"

namespace orva::sim {
namespace {

constexpr std::string_view kPersonalData =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-15\" standalone=\"yes\"?>"
    "<UC_PersoenlicheVersichertendatenXML CDM_VERSION=\"5.2.0\" "
    "xmlns=\"http://ws.gematik.de/fa/vsdm/vsd/v5.2\">"
    "<Versicherter><Versicherten_ID>T808808801</Versicherten_ID><Person>"
    "<Geburtsdatum>19580723</Geburtsdatum><Vorname>Ottilie</Vorname>"
    "<Nachname>Kr\xFCmmelmann</Nachname><Geschlecht>W</Geschlecht>"
    "<StrassenAdresse><Postleitzahl>34117</Postleitzahl><Ort>Kassel</Ort>"
    "<Land><Wohnsitzlaendercode>D</Wohnsitzlaendercode></Land>"
    "<Strasse>Am Beispielhang</Strasse><Hausnummer>7a</Hausnummer></StrassenAdresse>"
    "</Person></Versicherter></UC_PersoenlicheVersichertendatenXML>";

constexpr std::string_view kInsuranceData =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-15\" standalone=\"yes\"?>"
    "<UC_AllgemeineVersicherungsdatenXML CDM_VERSION=\"5.2.0\" "
    "xmlns=\"http://ws.gematik.de/fa/vsdm/vsd/v5.2\">"
    "<Versicherter><Versicherungsschutz><Beginn>20190401</Beginn><Kostentraeger>"
    "<Kostentraegerkennung>109999907</Kostentraegerkennung>"
    "<Kostentraegerlaendercode>D</Kostentraegerlaendercode><Name>Demo BKK</Name>"
    "</Kostentraeger></Versicherungsschutz><Zusatzinfos><ZusatzinfosGKV>"
    "<Versichertenart>1</Versichertenart><Zusatzinfos_Abrechnung_GKV><WOP>02</WOP>"
    "</Zusatzinfos_Abrechnung_GKV></ZusatzinfosGKV></Zusatzinfos></Versicherter>"
    "</UC_AllgemeineVersicherungsdatenXML>";

constexpr std::string_view kProtectedData =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-15\" standalone=\"yes\"?>"
    "<UC_GeschuetzteVersichertendatenXML CDM_VERSION=\"5.2.0\" "
    "xmlns=\"http://ws.gematik.de/fa/vsdm/vsd/v5.2\">"
    "<Zuzahlungsstatus><Status>0</Status></Zuzahlungsstatus>"
    "<Selektivvertraege><Aerztlich>0</Aerztlich><Zahnaerztlich>0</Zahnaerztlich>"
    "</Selektivvertraege></UC_GeschuetzteVersichertendatenXML>";

std::span<const std::uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

CardSet DemoCardSet() {
    CardImage card;
    card.kind = CardKind::Egk;
    card.request = {0x90, 0x01};
    // Versions 3.0.0, 3.0.1 and 3.0.3 (a generation-1-plus card), as 5-byte BCD records.
    card.version = {{0x00, 0x30, 0x00, 0x00, 0x00},
                    {0x00, 0x30, 0x00, 0x00, 0x01},
                    {0x00, 0x30, 0x00, 0x00, 0x03}};
    // ICCSN 80 276 99999 0000123456 (an issuer number no one holds).
    card.gdo = ByteVector{0x5A, 0x0A, 0x80, 0x27, 0x69, 0x99, 0x99, 0x00, 0x00, 0x12, 0x34, 0x56};
    // No open transactions, last update 2026-01-05 09:30:00, schema 5.2.0, five reserved bytes.
    const std::string_view status = "020260105093000";
    card.status = ByteVector(status.begin(), status.end());
    card.status->insert(card.status->end(), {0x00, 0x50, 0x02, 0x00, 0x00, 0, 0, 0, 0, 0});
    card.pd = BuildPersonalDataFile(AsBytes(kPersonalData));
    card.vd = BuildInsuranceDataFile(AsBytes(kInsuranceData), AsBytes(kProtectedData));

    CardSet set;
    set.cards.push_back(std::move(card));
    return set;
}

}  // namespace orva::sim
