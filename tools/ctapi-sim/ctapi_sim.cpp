// A simulated card terminal behind the CT-API: one slot, and the cards of a card image
// (card_image.h) inserted one after the other. Built as ct_api_comSIM, ct_api_usbSIM and
// ct_api_lanSIM so that "-Lsim"-style options of the program find it under every port name.
//
// Environment, read by CT_init:
//   ORVA_SIM_CARDS  the card image; unset or empty: the built-in demo set (one eGK, then none).
//                   The image is read at the first CT_init after the library is loaded, and
//                   again at a CT_init that sees a different value; otherwise the cards carry on
//                   where they were (a program that closes and reopens the terminal between
//                   cards sees the next card). A bad image makes CT_init return -1 with one line
//                   "<file>:<line>: <fault>" on standard error.
// Read at every call:
//   ORVA_SIM_TRACE  a file to which every call is appended as one line, flushed at once:
//                     CT_init ctn=1 pn=3 -> 0
//                     CT_data ctn=1 dad=1 sad=2 cmd=20 11 00 00 00 -> 90 00 rc=0
//                     CT_close ctn=1 -> 0
//                   dad and sad as the caller passed them; a failed call shows "-> rc=-1".
//
// Addresses: dad 1 is the terminal, dad 0 the card in the slot; any other dad gives -1. A
// successful CT_data writes back sad = the unit that answered (1 or 0) and dad = 2 (the host).
//
// Terminal commands (CT-BCS, dad 1):
//   20 11 00 ..  RESET CT       the image's "reset" answer; the card in the slot is reset
//   20 11 0x ..  RESET ICC      the card's "request" answer, or 64 00 without a card
//   20 12 ..     REQUEST ICC    62 00 while no card is in ("absent_polls", and after the last
//                               card for ever), then the card's "request" answer
//   20 15 ..     EJECT ICC      62 00 "eject_busy" times, then "eject" and the card is out;
//                               90 00 when there is no card to eject
//   anything else 6D 00 (67 00 when shorter than four bytes)
//
// Card commands (ISO/IEC 7816-4, dad 0); 6F 00 when no card is in:
//   SELECT 00 A4 04 xx Lc AID   KVK application D2 76 00 00 01 01 (also the old D2 80 ...);
//                               eGK: MF D2 76 00 01 44 80 00, DF.HCA D2 76 00 00 01 02;
//                               the program's Select Masterfile command
//                               00 A4 04 0C 22 78 44 32 76 00 01 44 answers "select_mf".
//                               6A 82 when not there; a failed SELECT changes nothing.
//   READ BINARY 00 B0 P1 P2 Le  P1 bit 8 set: short file identifier P1 & 1F, offset P2 (eGK: in
//                               the MF EF.GDO 2; in DF.HCA EF.PD 1, EF.VD 2, EF.StatusVD 12);
//                               otherwise offset P1 P2 (15 bits) in the current file. A KVK's
//                               file is its memory image, from "app_offset" to the end of the
//                               image once the application is selected.
//                               Le 00 = 256; extended Le 00 xx xx (00 00 = 65536), 67 00 on a
//                               KVK or a card without "extended_length".
//                               n = Le, or max_data if smaller: n bytes + 90 00; fewer + 62 82
//                               when the file ends first; 6B 00 at or past the end.
//                               The first "pin_polls" READ BINARY commands answer 69 00.
//   READ RECORD 00 B2 rec P2 Le P2 = SFI << 3 | 4; SFI 16 in the MF is EF.Version, SFI 0 the
//                               current record file. 6A 83 for a record that is not there.
//   ERASE BINARY 00 0E P1 P2    90 00 on the current file (the card's data stay as they are).
// Answers never exceed the room the caller announced in lenr: data are cut to fit (and then
// end with 90 00, the file going on); with less than two bytes of room CT_data returns -11.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "card_image.h"
#include "sim_env.h"
#include "terminal/ctapi.h"

namespace orva::sim {
namespace {

constexpr std::int8_t kOk = 0;
constexpr std::int8_t kErrInvalid = -1;
constexpr std::int8_t kErrMemory = -11;

constexpr std::uint8_t kUnitCard = 0;
constexpr std::uint8_t kUnitTerminal = 1;
constexpr std::uint8_t kUnitHost = 2;

constexpr std::size_t kShortLeMax = 256;
constexpr std::size_t kExtendedLeMax = 65536;

constexpr std::uint8_t kKvkAid[] = {0xD2, 0x76, 0x00, 0x00, 0x01, 0x01};
constexpr std::uint8_t kKvkOldAid[] = {0xD2, 0x80, 0x00, 0x00, 0x01, 0x01};
constexpr std::uint8_t kMfAid[] = {0xD2, 0x76, 0x00, 0x01, 0x44, 0x80, 0x00};
constexpr std::uint8_t kHcaAid[] = {0xD2, 0x76, 0x00, 0x00, 0x01, 0x02};
// Row 18 of the program's command table as it goes out: Lc 22 with seven bytes behind it.
constexpr std::uint8_t kSelectMasterfileRow[] = {0x00, 0xA4, 0x04, 0x0C, 0x22, 0x78,
                                                 0x44, 0x32, 0x76, 0x00, 0x01, 0x44};

constexpr unsigned kSfiGdo = 2;
constexpr unsigned kSfiPd = 1;
constexpr unsigned kSfiVd = 2;
constexpr unsigned kSfiStatus = 12;
constexpr unsigned kSfiVersion = 16;

using Answer = ByteVector;

Answer Sw(std::uint8_t sw1, std::uint8_t sw2) {
    return {sw1, sw2};
}

bool Equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

std::string HexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

enum class Folder { Mf, Hca };
enum class Ef { None, Gdo, Version, Status, Pd, Vd, KvkMemory };

// The card in the slot and what it has been told so far.
struct Slot {
    std::size_t index = 0;  // into the set's cards; past the end: the terminal stays empty
    bool in = false;        // REQUEST ICC has answered the card's "request"
    unsigned absentLeft = 0;
    unsigned ejectBusyLeft = 0;
    unsigned pinLeft = 0;
    Folder folder = Folder::Mf;
    bool kvkAppSelected = false;
    Ef current = Ef::None;
};

class Simulator {
  public:
    std::int8_t Init(std::uint16_t ctn, std::uint16_t pn) {
        std::lock_guard lock(mutex_);
        std::int8_t result = kErrInvalid;
        if (!open_.contains(ctn) && Load()) {
            const auto& init = set_->terminal.init;
            result = init.empty() ? kOk : init[std::min(initCalls_, init.size() - 1)];
            ++initCalls_;
            if (result == kOk) {
                open_.insert(ctn);
            }
        }
        Trace("CT_init ctn=" + std::to_string(ctn) + " pn=" + std::to_string(pn) + " -> " +
              std::to_string(result));
        return result;
    }

    std::int8_t Close(std::uint16_t ctn) {
        std::lock_guard lock(mutex_);
        const std::int8_t result = open_.erase(ctn) > 0 ? kOk : kErrInvalid;
        Trace("CT_close ctn=" + std::to_string(ctn) + " -> " + std::to_string(result));
        return result;
    }

    std::int8_t Data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                     const std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
        if (const unsigned latency = latencyMs_.load(); latency > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(latency));
        }
        std::lock_guard lock(mutex_);
        ++dataCalls_;
        const int dadIn = dad != nullptr ? *dad : -1;
        const int sadIn = sad != nullptr ? *sad : -1;
        const std::span<const std::uint8_t> cmd = command != nullptr
                                                      ? std::span<const std::uint8_t>(command, lenc)
                                                      : std::span<const std::uint8_t>();
        Answer answer;
        std::int8_t result = kErrInvalid;
        const bool callOk = dad != nullptr && sad != nullptr && lenr != nullptr &&
                            response != nullptr && (command != nullptr || lenc == 0);
        const bool failHere = set_ && set_->terminal.failExchange == dataCalls_;
        if (callOk && set_ && open_.contains(ctn) && !failHere &&
            (dadIn == kUnitCard || dadIn == kUnitTerminal)) {
            const std::size_t room = *lenr;
            answer = dadIn == kUnitTerminal ? Terminal(cmd) : Card(cmd, room);
            if (answer.size() > room) {
                answer.clear();
                result = kErrMemory;
            } else {
                std::copy(answer.begin(), answer.end(), response);
                *lenr = static_cast<std::uint16_t>(answer.size());
                *sad = static_cast<std::uint8_t>(dadIn);
                *dad = kUnitHost;
                result = kOk;
            }
        }
        Trace("CT_data ctn=" + std::to_string(ctn) + " dad=" + std::to_string(dadIn) +
              " sad=" + std::to_string(sadIn) + " cmd=" + HexText(cmd) + " -> " +
              (answer.empty() ? "" : HexText(answer) + " ") + "rc=" + std::to_string(result));
        return result;
    }

  private:
    // (Re)reads the card image when none is loaded or ORVA_SIM_CARDS names another one.
    bool Load() {
        const std::optional<std::string> name = SimGetEnv("ORVA_SIM_CARDS");
        if (set_ && name == loadedFrom_) {
            return true;
        }
        // A bad image leaves an image loaded earlier in place for terminals still open.
        std::optional<CardSet> set;
        if (name) {
            std::string error;
            set = LoadCardImage(*name, error);
            if (!set) {
                std::fprintf(stderr, "ct_api simulator: %s\n", error.c_str());
                std::fflush(stderr);
                return false;
            }
        } else {
            set = DemoCardSet();
        }
        set_ = std::move(set);
        loadedFrom_ = name;
        latencyMs_ = set_->terminal.latencyMs;
        initCalls_ = 0;
        slot_ = Slot{};
        PrepareCard();
        return true;
    }

    void Trace(const std::string& line) {
        const std::optional<std::string> path = SimGetEnv("ORVA_SIM_TRACE");
        if (!path) {
            return;
        }
        if (std::FILE* file = std::fopen(path->c_str(), "ab")) {
            std::fputs((line + "\n").c_str(), file);
            std::fclose(file);
        }
    }

    const CardImage* CurrentCard() const {
        return set_ && slot_.index < set_->cards.size() ? &set_->cards[slot_.index] : nullptr;
    }

    // Takes the card at slot_.index as the next one to be inserted.
    void PrepareCard() {
        const std::size_t index = slot_.index;
        slot_ = Slot{};
        slot_.index = index;
        const CardImage* card = CurrentCard();
        if (card != nullptr) {
            slot_.absentLeft = card->absentPolls;
            slot_.ejectBusyLeft = card->ejectBusy;
            slot_.pinLeft = card->pinPolls;
        }
        latencyMs_ =
            card != nullptr && card->latencyMs ? *card->latencyMs : set_->terminal.latencyMs;
    }

    void ResetCard() {
        slot_.folder = Folder::Mf;
        slot_.kvkAppSelected = false;
        slot_.current = Ef::None;
    }

    Answer Terminal(std::span<const std::uint8_t> cmd) {
        if (cmd.size() < 4) {
            return Sw(0x67, 0x00);
        }
        if (cmd[0] != 0x20) {
            return Sw(0x6D, 0x00);
        }
        const CardImage* card = CurrentCard();
        switch (cmd[1]) {
            case 0x11:  // RESET CT
                if (cmd[2] == 0x00) {
                    ResetCard();
                    return set_->terminal.reset;
                }
                if (card == nullptr || !slot_.in) {
                    return Sw(0x64, 0x00);
                }
                ResetCard();
                return card->request;
            case 0x12:  // REQUEST ICC
                if (card == nullptr) {
                    return Sw(0x62, 0x00);
                }
                if (!slot_.in && slot_.absentLeft > 0) {
                    --slot_.absentLeft;
                    return Sw(0x62, 0x00);
                }
                slot_.in = true;
                ResetCard();
                return card->request;
            case 0x15:  // EJECT ICC
                if (card == nullptr || !slot_.in) {
                    return Sw(0x90, 0x00);
                }
                if (slot_.ejectBusyLeft > 0) {
                    --slot_.ejectBusyLeft;
                    return Sw(0x62, 0x00);
                }
                {
                    Answer answer = card->eject;
                    ++slot_.index;
                    PrepareCard();
                    return answer;
                }
            default:
                return Sw(0x6D, 0x00);
        }
    }

    // The bytes of an eGK file, or null when the card has no such file.
    const ByteVector* EgkFile(const CardImage& card, Ef ef) const {
        const std::optional<ByteVector>* file = nullptr;
        switch (ef) {
            case Ef::Gdo:
                file = &card.gdo;
                break;
            case Ef::Status:
                file = &card.status;
                break;
            case Ef::Pd:
                file = &card.pd;
                break;
            case Ef::Vd:
                file = &card.vd;
                break;
            default:
                return nullptr;
        }
        return file->has_value() ? &**file : nullptr;
    }

    // The binary file a short file identifier names in the current folder (eGK).
    Ef BinaryBySfi(unsigned sfi) const {
        if (slot_.folder == Folder::Mf) {
            return sfi == kSfiGdo ? Ef::Gdo : Ef::None;
        }
        switch (sfi) {
            case kSfiPd:
                return Ef::Pd;
            case kSfiVd:
                return Ef::Vd;
            case kSfiStatus:
                return Ef::Status;
            default:
                return Ef::None;
        }
    }

    // The KVK's memory as READ BINARY sees it: all of it before the application is selected,
    // afterwards from the application's start to the end of the memory.
    static std::span<const std::uint8_t> KvkView(const CardImage& card, bool appSelected) {
        return appSelected ? KvkApplication(card) : std::span<const std::uint8_t>(card.data);
    }

    // Le of a command without data field: nullopt when the form is wrong or not allowed.
    static std::optional<std::size_t> ParseLe(std::span<const std::uint8_t> cmd, bool extendedOk,
                                              bool& wrongLength) {
        wrongLength = false;
        const std::size_t body = cmd.size() - 4;
        if (body == 1) {
            return cmd[4] == 0 ? kShortLeMax : cmd[4];
        }
        if (body == 3 && cmd[4] == 0x00 && extendedOk) {
            const std::size_t le = static_cast<std::size_t>(cmd[5] << 8 | cmd[6]);
            return le == 0 ? kExtendedLeMax : le;
        }
        wrongLength = true;
        return std::nullopt;
    }

    static Answer ServeBinary(std::span<const std::uint8_t> file, std::size_t offset,
                              std::size_t le, unsigned maxData, std::size_t room) {
        if (offset >= file.size()) {
            return Sw(0x6B, 0x00);
        }
        const std::size_t want = maxData > 0 ? std::min<std::size_t>(le, maxData) : le;
        const std::size_t available = file.size() - offset;
        const std::size_t fits = room >= 2 ? room - 2 : 0;
        const std::size_t count = std::min({want, available, fits});
        Answer answer(file.begin() + static_cast<std::ptrdiff_t>(offset),
                      file.begin() + static_cast<std::ptrdiff_t>(offset + count));
        const bool ended = available < want && count == available;
        answer.push_back(ended ? 0x62 : 0x90);
        answer.push_back(ended ? 0x82 : 0x00);
        return answer;
    }

    Answer Card(std::span<const std::uint8_t> cmd, std::size_t room) {
        const CardImage* card = CurrentCard();
        if (card == nullptr || !slot_.in) {
            return Sw(0x6F, 0x00);
        }
        if (cmd.size() < 4) {
            return Sw(0x67, 0x00);
        }
        if (cmd[0] != 0x00) {
            return Sw(0x6E, 0x00);
        }
        switch (cmd[1]) {
            case 0xA4:
                return Select(*card, cmd);
            case 0xB0:
                return ReadBinary(*card, cmd, room);
            case 0xB2:
                return ReadRecord(*card, cmd, room);
            case 0x0E:
                return Erase(*card, cmd);
            default:
                return Sw(0x6D, 0x00);
        }
    }

    Answer Select(const CardImage& card, std::span<const std::uint8_t> cmd) {
        if (card.kind == CardKind::Egk && Equal(cmd, kSelectMasterfileRow)) {
            if (card.selectMf.size() >= 2 && card.selectMf[0] == 0x90 && card.selectMf[1] == 0x00) {
                ResetCard();
            }
            return card.selectMf;
        }
        if (cmd[2] != 0x04) {
            return Sw(0x6A, 0x86);
        }
        if (cmd.size() < 5 || (cmd.size() != 5u + cmd[4] && cmd.size() != 6u + cmd[4])) {
            return Sw(0x67, 0x00);
        }
        const std::span<const std::uint8_t> aid = cmd.subspan(5, cmd[4]);
        if (card.kind == CardKind::Kvk && (Equal(aid, kKvkAid) || Equal(aid, kKvkOldAid))) {
            slot_.kvkAppSelected = true;
            slot_.current = Ef::KvkMemory;
            return Sw(0x90, 0x00);
        }
        if (card.kind == CardKind::Egk && Equal(aid, kMfAid)) {
            ResetCard();
            return Sw(0x90, 0x00);
        }
        if (card.kind == CardKind::Egk && Equal(aid, kHcaAid)) {
            slot_.folder = Folder::Hca;
            slot_.current = Ef::None;
            return Sw(0x90, 0x00);
        }
        return Sw(0x6A, 0x82);
    }

    Answer ReadBinary(const CardImage& card, std::span<const std::uint8_t> cmd, std::size_t room) {
        if (slot_.pinLeft > 0) {
            --slot_.pinLeft;
            return Sw(0x69, 0x00);
        }
        bool wrongLength = false;
        const bool extendedOk = card.kind == CardKind::Egk && card.extendedLength;
        const std::optional<std::size_t> le = ParseLe(cmd, extendedOk, wrongLength);
        if (!le) {
            return Sw(0x67, 0x00);
        }
        std::size_t offset = 0;
        if (cmd[2] & 0x80) {
            if (cmd[2] & 0x60) {
                return Sw(0x6A, 0x86);
            }
            const Ef ef = card.kind == CardKind::Egk ? BinaryBySfi(cmd[2] & 0x1Fu) : Ef::None;
            if (ef == Ef::None || EgkFile(card, ef) == nullptr) {
                return Sw(0x6A, 0x82);
            }
            slot_.current = ef;
            offset = cmd[3];
        } else {
            offset = static_cast<std::size_t>(cmd[2] << 8 | cmd[3]);
        }
        if (card.kind == CardKind::Kvk) {
            return ServeBinary(KvkView(card, slot_.kvkAppSelected), offset, *le, card.maxData,
                               room);
        }
        if (card.kind != CardKind::Egk) {
            return Sw(0x6A, 0x82);
        }
        if (slot_.current == Ef::None) {
            return Sw(0x69, 0x86);
        }
        const ByteVector* file = EgkFile(card, slot_.current);
        if (file == nullptr) {
            return Sw(0x69, 0x81);  // the current file is the record file EF.Version
        }
        return ServeBinary(*file, offset, *le, card.maxData, room);
    }

    Answer ReadRecord(const CardImage& card, std::span<const std::uint8_t> cmd, std::size_t room) {
        if (card.kind != CardKind::Egk) {
            return Sw(0x6A, 0x82);
        }
        if ((cmd[3] & 0x07) != 0x04) {
            return Sw(0x6A, 0x86);
        }
        bool wrongLength = false;
        const std::optional<std::size_t> le = ParseLe(cmd, card.extendedLength, wrongLength);
        if (!le) {
            return Sw(0x67, 0x00);
        }
        const unsigned sfi = cmd[3] >> 3;
        if (sfi != 0) {
            if (sfi != kSfiVersion || slot_.folder != Folder::Mf || card.version.empty()) {
                return Sw(0x6A, 0x82);
            }
            slot_.current = Ef::Version;
        } else if (slot_.current == Ef::None) {
            return Sw(0x69, 0x86);
        } else if (slot_.current != Ef::Version) {
            return Sw(0x69, 0x81);
        }
        const unsigned record = cmd[2];
        if (record == 0 || record > card.version.size()) {
            return Sw(0x6A, 0x83);
        }
        const ByteVector& data = card.version[record - 1];
        // Le 00 asks for the whole record; a larger explicit Le ends early with 62 82.
        const bool wholeRecord = cmd.size() == 5 && cmd[4] == 0x00;
        const std::size_t want = wholeRecord ? std::min(data.size(), *le) : *le;
        Answer answer = ServeBinary(data, 0, want, card.maxData, room);
        if (data.empty()) {
            answer = Sw(0x90, 0x00);
        }
        return answer;
    }

    Answer Erase(const CardImage& card, std::span<const std::uint8_t> cmd) {
        if (card.kind == CardKind::Kvk) {
            return Sw(0x90, 0x00);
        }
        if (card.kind != CardKind::Egk) {
            return Sw(0x6A, 0x82);
        }
        if (cmd[2] & 0x80) {
            const Ef ef = BinaryBySfi(cmd[2] & 0x1Fu);
            if (ef == Ef::None || EgkFile(card, ef) == nullptr) {
                return Sw(0x6A, 0x82);
            }
            slot_.current = ef;
        }
        if (slot_.current == Ef::None) {
            return Sw(0x69, 0x86);
        }
        return slot_.current == Ef::Version ? Sw(0x69, 0x81) : Sw(0x90, 0x00);
    }

    std::mutex mutex_;
    std::optional<CardSet> set_;
    std::optional<std::string> loadedFrom_;
    std::set<std::uint16_t> open_;
    std::size_t initCalls_ = 0;
    unsigned long long dataCalls_ = 0;
    std::atomic<unsigned> latencyMs_{0};
    Slot slot_;
};

Simulator& TheSimulator() {
    static Simulator simulator;
    return simulator;
}

// No exception may leave an entry point: the caller is C (or a program that cannot catch ours)
// and would be aborted. Whatever escapes the simulator (a memory shortage, a fault in a file
// system call) makes the call fail with -1, with one line on standard error.
template <typename Call>
std::int8_t Guarded(const char* entry, Call call) noexcept {
    try {
        return call();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ct_api simulator: %s: %s\n", entry, e.what());
    } catch (...) {
        std::fprintf(stderr, "ct_api simulator: %s: unexpected fault\n", entry);
    }
    std::fflush(stderr);
    return kErrInvalid;
}

}  // namespace
}  // namespace orva::sim

extern "C" {

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_init(std::uint16_t ctn, std::uint16_t pn) {
    return orva::sim::Guarded("CT_init", [&] { return orva::sim::TheSimulator().Init(ctn, pn); });
}

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_data(std::uint16_t ctn, std::uint8_t* dad,
                                                      std::uint8_t* sad, std::uint16_t lenc,
                                                      std::uint8_t* command, std::uint16_t* lenr,
                                                      std::uint8_t* response) {
    return orva::sim::Guarded("CT_data", [&] {
        return orva::sim::TheSimulator().Data(ctn, dad, sad, lenc, command, lenr, response);
    });
}

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_close(std::uint16_t ctn) {
    return orva::sim::Guarded("CT_close", [&] { return orva::sim::TheSimulator().Close(ctn); });
}
}
