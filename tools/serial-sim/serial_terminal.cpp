// A simulated serial KVK terminal: what it answers to each host block (see serial_terminal.h).
#include "serial_terminal.h"

#include <algorithm>

namespace orva::serialsim {

namespace {

constexpr std::uint8_t kNadTerminalToHost = 0x21;
constexpr std::uint8_t kPcbResyncResponse = 0xE0;
constexpr std::uint8_t kPcbMore = 0x20;
constexpr std::uint8_t kPcbSequence = 0x40;
constexpr std::size_t kLen = 2;
constexpr std::size_t kInf = 3;

bool IsRBlock(std::uint8_t pcb) {
    return (pcb & 0xC0) == 0x80;
}

// NAD PCB LEN INF... LRC, sized once: g++ 12 wrongly reports an out-of-bounds copy (-Warray-bounds)
// when a vector made from a three-byte list is grown by insert.
Bytes Block(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
    Bytes block(kInf + inf.size() + 1);
    block[0] = kNadTerminalToHost;
    block[1] = pcb;
    block[kLen] = static_cast<std::uint8_t>(inf.size());
    std::copy(inf.begin(), inf.end(), block.begin() + static_cast<std::ptrdiff_t>(kInf));
    std::uint8_t lrc = 0;
    for (std::size_t i = 0; i + 1 < block.size(); ++i) {
        lrc = static_cast<std::uint8_t>(lrc ^ block[i]);
    }
    block.back() = lrc;
    return block;
}

}  // namespace

std::optional<Fault> ParseFault(const std::string& name) {
    if (name == "split")
        return Fault::Split;
    if (name == "surplus")
        return Fault::Surplus;
    if (name == "drop")
        return Fault::Drop;
    if (name == "pin")
        return Fault::Pin;
    if (name == "none")
        return Fault::None;
    return std::nullopt;
}

SerialTerminal::SerialTerminal(sim::CardSet cards, unsigned chunk, Fault fault)
    : cards_(std::move(cards)), chunk_(std::clamp(chunk, 1u, 255u)), fault_(fault) {}

const sim::CardImage* SerialTerminal::Card() const {
    return current_ < cards_.cards.size() ? &cards_.cards[current_] : nullptr;
}

Bytes SerialTerminal::IBlock(std::span<const std::uint8_t> inf, bool more) {
    const std::uint8_t pcb =
        static_cast<std::uint8_t>((sequence_ != 0 ? kPcbSequence : 0) | (more ? kPcbMore : 0));
    sequence_ ^= 1;
    return Block(pcb, inf);
}

Bytes SerialTerminal::NextChunk() {
    const std::size_t n = std::min<std::size_t>(chunk_, chain_.size() - chainSent_);
    const std::span<const std::uint8_t> piece(chain_.data() + chainSent_, n);
    chainSent_ += n;
    return IBlock(piece, chainSent_ < chain_.size());
}

Bytes SerialTerminal::ReadBinary(std::span<const std::uint8_t> apdu) {
    const sim::CardImage* card = Card();
    if (card == nullptr) {
        return Status(0x64, 0x00);
    }
    if (card->kind != sim::CardKind::Kvk) {
        return Status(0x6A, 0x82);
    }
    if (fault_ == Fault::Pin && !faultUsed_) {
        faultUsed_ = true;
        return Status(0x69, 0x00);
    }
    if (pinLeft_ > 0) {
        --pinLeft_;
        return Status(0x69, 0x00);
    }
    const std::size_t offset = apdu.size() > 3 ? ((apdu[2] & 0x7Fu) << 8 | apdu[3]) : 0;
    std::size_t le = apdu.size() > 4 ? apdu[4] : 0;
    if (le == 0) {
        le = 256;
    }
    std::size_t want = le;
    if (card->maxData != 0) {
        want = std::min<std::size_t>(want, card->maxData);
    }
    const std::span<const std::uint8_t> app = sim::KvkApplication(*card);
    const std::size_t start = std::min(app.size(), offset);
    const std::size_t n = std::min(want, app.size() - start);
    chain_.assign(app.begin() + static_cast<std::ptrdiff_t>(start),
                  app.begin() + static_cast<std::ptrdiff_t>(start + n));
    if (n < le) {
        chain_.insert(chain_.end(), {0x62, 0x82});
    } else {
        chain_.insert(chain_.end(), {0x90, 0x00});
    }
    chainSent_ = 0;
    return NextChunk();
}

TerminalAnswer SerialTerminal::OnBlock(std::span<const std::uint8_t> block) {
    TerminalAnswer answer;
    if (block.size() < 4) {
        return answer;
    }
    const std::uint8_t pcb = block[1];
    const std::size_t len = std::min<std::size_t>(block[kLen], block.size() - 4);
    const std::span<const std::uint8_t> inf = block.subspan(kInf, len);

    if (!cardStarted_ && Card() != nullptr) {
        cardStarted_ = true;
        absentLeft_ = Card()->absentPolls;
        ejectLeft_ = Card()->ejectBusy;
        pinLeft_ = Card()->pinPolls;
    }

    if (IsRBlock(pcb)) {
        if (chainSent_ < chain_.size()) {
            answer.block = NextChunk();
            if (fault_ == Fault::Drop && !faultUsed_) {
                faultUsed_ = true;
                answer.lost = true;
            }
        } else {
            answer.block = lastBlock_;
        }
        lastBlock_ = answer.block;
        return answer;
    }
    // Any other block ends a chained answer.
    chain_.clear();
    chainSent_ = 0;

    if (len == 0) {
        sequence_ = 0;
        answer.block = Block(kPcbResyncResponse, Bytes{0x90, 0x00});
        lastBlock_ = answer.block;
        return answer;
    }

    const sim::CardImage* card = Card();
    const auto is = [&inf](std::uint8_t cla, std::uint8_t ins) {
        return inf.size() >= 2 && inf[0] == cla && inf[1] == ins;
    };
    if (is(0x20, 0x12)) {  // REQUEST ICC
        if (card == nullptr || absentLeft_ > 0) {
            if (card != nullptr) {
                --absentLeft_;
            }
            answer.block = Status(0x62, 0x00);
        } else {
            answer.block = IBlock(card->request, false);
        }
    } else if (is(0x00, 0xA4)) {  // SELECT
        answer.block = card != nullptr && card->kind == sim::CardKind::Kvk ? Status(0x90, 0x00)
                                                                           : Status(0x6A, 0x82);
        if (fault_ == Fault::Surplus && !faultUsed_) {
            faultUsed_ = true;
            answer.surplus = true;
        }
    } else if (is(0x00, 0xB0)) {  // READ BINARY
        answer.block = ReadBinary(inf);
    } else if (is(0x00, 0x0E)) {  // ERASE BINARY
        answer.block = Status(0x90, 0x00);
    } else if (is(0x20, 0x15)) {  // EJECT ICC
        if (card == nullptr) {
            answer.block = Status(0x90, 0x00);
        } else if (ejectLeft_ > 0) {
            --ejectLeft_;
            answer.block = Status(0x62, 0x00);
        } else {
            answer.block = IBlock(card->eject, false);
            ++current_;
            cardStarted_ = false;
        }
    } else {
        answer.block = Status(0x6D, 0x00);
    }
    lastBlock_ = answer.block;
    return answer;
}

}  // namespace orva::serialsim
