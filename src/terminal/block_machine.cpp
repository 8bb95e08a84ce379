// The serial block protocol's state table. See block_machine.h for the block layout.
//
// Where the plain table would hand over wrong data, the machine is stricter:
//   - an answer whose INF would not fit the data buffer restarts the card's cycle at state 0
//     with the data dropped;
//   - every restart to state 0 (surplus bytes, the timer's supervision, a refused read) drops
//     the data collected so far, so that the next read does not land behind a broken one;
//   - the whole data buffer is cleared for every cycle (not only its first 260 bytes), so the
//     record rules, which look past the data, never see bytes of an earlier card;
//   - a read chain ends early on 0x8E (the KVK checksum tag) only once the tag's length byte
//     and the checksum byte are in as well;
//   - "starts with 62 00" / "69 00" needs an answer of at least two INF bytes;
//   - the timer hands over no empty data, and a cycle whose data the timer already delivered
//     ends without a second, empty hand-over.
#include "terminal/block_machine.h"

#include <algorithm>

#include "core/bytes.h"
#include "terminal/command_table.h"

namespace orva::terminal {

namespace {

constexpr std::uint8_t kTagChecksum = 0x8E;
constexpr std::uint8_t kTagTrailer = 0x8D;
constexpr std::uint8_t kTagFirstField = 0x80;
constexpr std::size_t kTagFirstFieldWindow = 10;
constexpr std::size_t kChecksumWindowOffset = 4;
constexpr std::size_t kUntaggedCompleteLength = 217;

ProtocolEffect Pause(unsigned milliseconds) {
    ProtocolEffect effect{ProtocolEffect::Kind::Pause};
    effect.milliseconds = milliseconds;
    return effect;
}

}  // namespace

std::uint8_t AppendLrc(std::span<std::uint8_t> block, std::size_t n) {
    std::uint8_t x = block[0];
    for (std::size_t i = 1; i < n; ++i) {
        x = static_cast<std::uint8_t>(x ^ block[i]);
    }
    block[n] = x;
    return x;
}

BlockMachine::BlockMachine(std::size_t dataCapacity) : data_(dataCapacity, 0) {}

ProtocolEffects BlockMachine::Start() {
    DropData();
    ProtocolEffects out;
    SendBlock(state_, out);
    return out;
}

ProtocolEffects BlockMachine::OnReceive(std::span<const std::uint8_t> bytes, ProtocolFlags flags) {
    ProtocolEffects out;
    ++receiveEvents_;
    const std::size_t n = std::min(bytes.size(), FreeSpace());
    std::copy_n(bytes.begin(), n, receive_.begin() + static_cast<std::ptrdiff_t>(received_));
    received_ += n;

    // A block is at least four bytes; below that LEN is not in yet.
    if (received_ < kBlockInf + 1) {
        return out;
    }
    const std::size_t len = receive_[kBlockLen];
    if (received_ < len + 4) {
        return out;
    }
    ActOnAnswer(len, flags, out);
    if (received_ > len + 4) {
        // More than one block came in: whatever it was, start over with the terminal.
        DropData();
        state_ = ProtocolState::Resync;
        SendBlock(ProtocolState::Resync, out);
    }
    received_ = 0;
    return out;
}

void BlockMachine::ActOnAnswer(std::size_t len, ProtocolFlags flags, ProtocolEffects& out) {
    switch (state_) {
        case ProtocolState::Resync:
            state_ = len == 2 ? ProtocolState::RequestIcc : ProtocolState::Resync;
            SendBlock(state_, out);
            break;
        case ProtocolState::RequestIcc:
            if (!AnswerStartsWith(len, 0x62, 0x00)) {
                state_ = ProtocolState::SelectKvk;
            }
            SendBlock(state_, out);
            break;
        case ProtocolState::SelectKvk:
            out.push_back({ProtocolEffect::Kind::RestoreWindow});
            state_ = ProtocolState::Read;
            SendBlock(state_, out);
            break;
        case ProtocolState::Read:
        case ProtocolState::ReadChained:
            ActOnReadAnswer(len, out);
            break;
        case ProtocolState::ReadLast:
            out.push_back(Pause(kReadRestartPauseMs));
            state_ = ProtocolState::Erase;
            SendBlock(state_, out);
            break;
        case ProtocolState::Erase:
            state_ = ProtocolState::Eject;
            SendBlock(state_, out);
            break;
        case ProtocolState::Eject:
            ActOnEjectAnswer(len, flags, out);
            break;
        default:
            break;
    }
}

void BlockMachine::ActOnReadAnswer(std::size_t len, ProtocolEffects& out) {
    const std::size_t length = Length();
    if (len > data_.size() - length) {
        // The data buffer cannot take this answer: nothing collected so far can be trusted to
        // be a whole card, so the cycle starts again.
        DropData();
        state_ = ProtocolState::Resync;
        SendBlock(state_, out);
        return;
    }
    std::copy_n(receive_.begin() + kBlockInf, len,
                data_.begin() + static_cast<std::ptrdiff_t>(length));
    dataLength_ = length + len;

    if (AnswerStartsWith(len, 0x69, 0x00)) {
        receiveEvents_ = 0;
        DropData();
        out.push_back(Pause(kReadRestartPauseMs));
        state_ = ProtocolState::Resync;
        SendBlock(state_, out);
        return;
    }
    state_ = ReadChainEnds(len) ? ProtocolState::ReadLast : ProtocolState::ReadChained;
    SendBlock(state_, out);
}

void BlockMachine::ActOnEjectAnswer(std::size_t len, ProtocolFlags flags, ProtocolEffects& out) {
    if (AnswerStartsWith(len, 0x62, 0x00)) {
        receiveEvents_ = 0;
        out.push_back(Pause(kEjectPauseMs));
        SendBlock(state_, out);
        return;
    }
    if (deliveredByTimer_) {
        // The timer handed this card over already; the buffer is empty now.
        deliveredByTimer_ = false;
        DropData();
    } else {
        DeliverAndEmpty(flags.endless && flags.invisible, out);
    }
    state_ = ProtocolState::Resync;
    if (flags.endless) {
        receiveEvents_ = 0;
        out.push_back(Pause(kEjectPauseMs));
        SendBlock(state_, out);
    } else {
        out.push_back({ProtocolEffect::Kind::PostClose});
    }
}

ProtocolEffects BlockMachine::OnTick(ProtocolFlags flags) {
    ProtocolEffects out;
    if (state_ == ProtocolState::RequestIcc || state_ == ProtocolState::ReadChained ||
        state_ == ProtocolState::ReadLast) {
        if (DataComplete()) {
            state_ = ProtocolState::Erase;
            DeliverAndEmpty(flags.invisible, out);
            deliveredByTimer_ = true;
            SendBlock(state_, out);
        } else if (receiveEvents_ == eventsAtLastTick_ && state_ != ProtocolState::RequestIcc) {
            // No answer for a whole tick in the middle of a chain: start over. A half block
            // still in the receive buffer belongs to the lost exchange.
            DropData();
            received_ = 0;
            state_ = ProtocolState::Resync;
            SendBlock(state_, out);
        }
    }
    eventsAtLastTick_ = receiveEvents_;
    return out;
}

void BlockMachine::DeliverAndEmpty(bool minimise, ProtocolEffects& out) {
    ProtocolEffect deliver{ProtocolEffect::Kind::Deliver};
    const std::size_t length = Length();
    deliver.bytes.assign(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(length));
    out.push_back(std::move(deliver));
    DropData();
    if (minimise) {
        out.push_back({ProtocolEffect::Kind::Minimise});
    }
}

void BlockMachine::SendBlock(ProtocolState state, ProtocolEffects& out) {
    const int row = RowOf(state);
    const TerminalCommand& command = CommandTable()[static_cast<std::size_t>(row)];
    const std::size_t lenc = std::min<std::size_t>(command.lenc, command.command.size());
    ProtocolEffect send{ProtocolEffect::Kind::Send};
    send.row = row;
    send.bytes.resize(lenc + 4);
    send.bytes[kBlockNad] = command.nad;
    if (state_ == ProtocolState::ReadChained || state_ == ProtocolState::ReadLast) {
        send.bytes[kBlockPcb] =
            (receive_[kBlockPcb] & kPcbSequence) != 0 ? kPcbAckSequenceSet : kPcbAckSequenceClear;
    } else {
        send.bytes[kBlockPcb] = controlByte_;
        controlByte_ = controlByte_ == kPcbSequence ? std::uint8_t{0x00} : kPcbSequence;
    }
    send.bytes[kBlockLen] = static_cast<std::uint8_t>(lenc);
    std::copy_n(command.command.begin(), lenc, send.bytes.begin() + kBlockInf);
    AppendLrc(send.bytes, lenc + 3);
    send.prompt = std::string(command.Prompt());
    if (state == ProtocolState::Read) {
        deliveredByTimer_ = false;
    }
    out.push_back(std::move(send));
}

bool BlockMachine::AnswerStartsWith(std::size_t len, std::uint8_t sw1, std::uint8_t sw2) const {
    return len >= 2 && receive_[kBlockInf] == sw1 && receive_[kBlockInf + 1] == sw2;
}

bool BlockMachine::ReadChainEnds(std::size_t len) const {
    if ((receive_[kBlockPcb] & kPcbMoreData) == 0) {
        return true;
    }
    // The checksum tag counts once its length byte and checksum are collected too; the search
    // starts two bytes before this answer so that a tag at the end of the previous one counts.
    const std::size_t length = Length();
    const std::size_t infStart = length - len;
    const std::size_t from = infStart >= 2 ? infStart - 2 : 0;
    for (std::size_t i = from; i + 2 < length; ++i) {
        if (data_[i] == kTagChecksum) {
            return true;
        }
    }
    return false;
}

bool BlockMachine::DataComplete() const {
    const std::size_t length = Length();
    if (length == 0) {
        return false;
    }
    const std::span<const std::uint8_t> data(data_);
    const core::ByteSpan head = data.first(std::min(kCompletionSearchBytes, data.size()));
    if (core::FindByte(head, kTagChecksum, head.size()) &&
        core::FindByte(head, kTagTrailer, head.size())) {
        return true;
    }
    if (core::FindByte(data, kTagFirstField, kTagFirstFieldWindow) &&
        data.size() > kChecksumWindowOffset &&
        core::FindByte(data.subspan(kChecksumWindowOffset), kTagChecksum, length)) {
        return true;
    }
    const auto zero = core::FindByte(data, 0x00, data.size());
    const std::size_t textLength = zero ? *zero : data_.size();
    return textLength > kUntaggedCompleteLength;
}

void BlockMachine::DropData() {
    std::fill(data_.begin(), data_.end(), std::uint8_t{0});
    dataLength_ = 0;
}

std::size_t BlockMachine::Length() const {
    return std::min(dataLength_, data_.size());
}

}  // namespace orva::terminal
