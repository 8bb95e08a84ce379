// A winscard.dll for the tests only: Wine's own has no smart-card backend, so this one hands the
// SCard calls the CT-API library over PC/SC makes to scard_relay.py, which runs on the Linux host
// beside pcsc-lite and makes the same calls there. Never shipped or installed.
//
// The relay listens on 127.0.0.1, port ORVA_SCARD_RELAY. One connection per process; each call
// is one request and one answer, both "u32 length, payload", little-endian:
//   request  u8 function, its arguments      answer  u32 result (the LONG), its outputs
// Arguments and outputs are u32 (DWORD), u64 (context, card handle) and byte strings (u32 length,
// bytes). The functions and their fields are listed at kEstablish ... kDisconnect below and in
// scard_relay.py.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The values of winscard.h, which this file cannot include (it declares the functions imported).
constexpr LONG kSuccess = 0;
constexpr LONG kInternalError = static_cast<LONG>(0x80100001);
constexpr LONG kInvalidParameter = static_cast<LONG>(0x80100004);
constexpr LONG kInsufficientBuffer = static_cast<LONG>(0x80100008);
constexpr LONG kNoService = static_cast<LONG>(0x8010001D);
constexpr std::size_t kAtrMax = 36;

enum Function : std::uint8_t {
    kEstablish = 1,        // u32 scope -> u64 context
    kRelease = 2,          // u64 context
    kListReaders = 3,      // u64 context -> bytes multi-string
    kGetStatusChange = 4,  // u64 context, u32 timeout, u32 n, n x (bytes reader, u32 current)
                           //   -> n x (u32 event, bytes atr)
    kConnect = 5,          // u64 context, bytes reader, u32 share, u32 protocols
                           //   -> u64 card, u32 protocol
    kStatus = 6,           // u64 card -> bytes reader, u32 state, u32 protocol, bytes atr
    kTransmit = 7,         // u64 card, u32 protocol, bytes command, u32 room -> bytes answer
    kDisconnect = 8,       // u64 card, u32 disposition
};

class Message {
  public:
    void U8(std::uint8_t v) { bytes_.push_back(v); }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void U64(std::uint64_t v) {
        U32(static_cast<std::uint32_t>(v));
        U32(static_cast<std::uint32_t>(v >> 32));
    }
    void Bytes(const void* data, std::size_t size) {
        U32(static_cast<std::uint32_t>(size));
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    const std::vector<std::uint8_t>& Data() const { return bytes_; }

  private:
    std::vector<std::uint8_t> bytes_;
};

class Reply {
  public:
    explicit Reply(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    bool Ok() const { return ok_; }
    std::uint32_t U32() {
        if (pos_ + 4 > bytes_.size()) {
            ok_ = false;
            return 0;
        }
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(bytes_[pos_ + i]) << (8 * i);
        pos_ += 4;
        return v;
    }
    std::uint64_t U64() {
        const std::uint64_t low = U32();
        return low | static_cast<std::uint64_t>(U32()) << 32;
    }
    std::vector<std::uint8_t> Bytes() {
        const std::uint32_t size = U32();
        if (!ok_ || pos_ + size > bytes_.size()) {
            ok_ = false;
            return {};
        }
        std::vector<std::uint8_t> v(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                    bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + size));
        pos_ += size;
        return v;
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

bool SendAll(SOCKET s, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const int n = send(s, reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveAll(SOCKET s, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const int n = recv(s, reinterpret_cast<char*>(data), static_cast<int>(size), 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

class Relay {
  public:
    // One call; false when the relay cannot be reached (the caller answers kNoService).
    bool Call(const Message& request, std::vector<std::uint8_t>& answer) {
        std::lock_guard lock(mutex_);
        if (socket_ == INVALID_SOCKET && !Connect()) {
            return false;
        }
        const std::vector<std::uint8_t>& body = request.Data();
        std::uint8_t head[4];
        const auto size = static_cast<std::uint32_t>(body.size());
        for (int i = 0; i < 4; ++i) head[i] = static_cast<std::uint8_t>(size >> (8 * i));
        std::uint8_t replyHead[4];
        if (!SendAll(socket_, head, 4) || !SendAll(socket_, body.data(), body.size()) ||
            !ReceiveAll(socket_, replyHead, 4)) {
            Drop();
            return false;
        }
        std::uint32_t replySize = 0;
        for (int i = 0; i < 4; ++i)
            replySize |= static_cast<std::uint32_t>(replyHead[i]) << (8 * i);
        answer.assign(replySize, 0);
        if (replySize > (1u << 20) || !ReceiveAll(socket_, answer.data(), replySize)) {
            Drop();
            return false;
        }
        return true;
    }

  private:
    bool Connect() {
        char port[16] = {};
        if (GetEnvironmentVariableA("ORVA_SCARD_RELAY", port, sizeof port) == 0) {
            return false;
        }
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
            return false;
        }
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) {
            return false;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(std::strtoul(port, nullptr, 10)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            Drop();
            return false;
        }
        BOOL noDelay = TRUE;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        return true;
    }
    void Drop() {
        if (socket_ != INVALID_SOCKET) {
            closesocket(socket_);
        }
        socket_ = INVALID_SOCKET;
    }

    std::mutex mutex_;
    SOCKET socket_ = INVALID_SOCKET;
};

Relay& TheRelay() {
    static Relay relay;  // kept to the end of the process, like winscard's own connection
    return relay;
}

struct Answer {
    LONG result;
    Reply reply;  // positioned after the result
    bool Arrived() const { return result != kNoService && result != kInternalError; }
};

Answer Call(const Message& request) {
    std::vector<std::uint8_t> bytes;
    if (!TheRelay().Call(request, bytes)) {
        return {kNoService, Reply({})};
    }
    Reply reply(std::move(bytes));
    const auto result = static_cast<LONG>(reply.U32());
    return {reply.Ok() ? result : kInternalError, std::move(reply)};
}

// Copies a multi-string or string answer the winscard way: a null buffer asks for the length.
LONG CopyOut(const std::vector<std::uint8_t>& text, char* buffer, DWORD* length) {
    if (length == nullptr) {
        return kInvalidParameter;
    }
    const auto needed = static_cast<DWORD>(text.size());
    if (buffer == nullptr) {
        *length = needed;
        return kSuccess;
    }
    if (*length == static_cast<DWORD>(-1)) {  // SCARD_AUTOALLOCATE: not needed by our library
        return kInvalidParameter;
    }
    if (*length < needed) {
        *length = needed;
        return kInsufficientBuffer;
    }
    std::memcpy(buffer, text.data(), text.size());
    *length = needed;
    return kSuccess;
}

struct ReaderStateA {  // SCARD_READERSTATEA
    LPCSTR szReader;
    LPVOID pvUserData;
    DWORD dwCurrentState;
    DWORD dwEventState;
    DWORD cbAtr;
    BYTE rgbAtr[kAtrMax];
};

struct IoRequest {  // SCARD_IO_REQUEST
    DWORD dwProtocol;
    DWORD cbPciLength;
};

}  // namespace

extern "C" {

__declspec(dllexport) LONG WINAPI
    SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, ULONG_PTR* context) {
    if (context == nullptr)
        return kInvalidParameter;
    Message m;
    m.U8(kEstablish);
    m.U32(scope);
    Answer a = Call(m);
    const LONG rv = a.result;
    if (rv == kSuccess)
        *context = static_cast<ULONG_PTR>(a.reply.U64());
    return rv;
}

__declspec(dllexport) LONG WINAPI SCardReleaseContext(ULONG_PTR context) {
    Message m;
    m.U8(kRelease);
    m.U64(context);
    return Call(m).result;
}

__declspec(dllexport) LONG WINAPI
    SCardListReadersA(ULONG_PTR context, LPCSTR, LPSTR readers, DWORD* length) {
    Message m;
    m.U8(kListReaders);
    m.U64(context);
    Answer a = Call(m);
    const LONG rv = a.result;
    if (rv != kSuccess)
        return rv;
    return CopyOut(a.reply.Bytes(), readers, length);
}

__declspec(dllexport) LONG WINAPI
    SCardGetStatusChangeA(ULONG_PTR context, DWORD timeout, ReaderStateA* states, DWORD count) {
    if (states == nullptr && count > 0)
        return kInvalidParameter;
    Message m;
    m.U8(kGetStatusChange);
    m.U64(context);
    m.U32(timeout);
    m.U32(count);
    for (DWORD i = 0; i < count; ++i) {
        const char* name = states[i].szReader != nullptr ? states[i].szReader : "";
        m.Bytes(name, std::strlen(name));
        m.U32(states[i].dwCurrentState);
    }
    Answer a = Call(m);
    const LONG rv = a.result;
    if (!a.Arrived())
        return rv;
    for (DWORD i = 0; i < count; ++i) {
        states[i].dwEventState = a.reply.U32();
        const std::vector<std::uint8_t> atr = a.reply.Bytes();
        states[i].cbAtr = static_cast<DWORD>(std::min(atr.size(), kAtrMax));
        std::memcpy(states[i].rgbAtr, atr.data(), states[i].cbAtr);
    }
    return rv;
}

__declspec(dllexport) LONG WINAPI SCardConnectA(ULONG_PTR context, LPCSTR reader, DWORD share,
                                                DWORD protocols, ULONG_PTR* card, DWORD* active) {
    if (reader == nullptr || card == nullptr || active == nullptr)
        return kInvalidParameter;
    Message m;
    m.U8(kConnect);
    m.U64(context);
    m.Bytes(reader, std::strlen(reader));
    m.U32(share);
    m.U32(protocols);
    Answer a = Call(m);
    const LONG rv = a.result;
    if (rv == kSuccess) {
        *card = static_cast<ULONG_PTR>(a.reply.U64());
        *active = a.reply.U32();
    }
    return rv;
}

__declspec(dllexport) LONG WINAPI
    SCardStatusA(ULONG_PTR card, LPSTR readerName, DWORD* readerLength, DWORD* state,
                 DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    Message m;
    m.U8(kStatus);
    m.U64(card);
    Answer a = Call(m);
    const LONG rv = a.result;
    if (rv != kSuccess)
        return rv;
    const std::vector<std::uint8_t> name = a.reply.Bytes();
    const DWORD s = a.reply.U32();
    const DWORD p = a.reply.U32();
    const std::vector<std::uint8_t> bytes = a.reply.Bytes();
    if (readerLength != nullptr) {
        if (const LONG copied = CopyOut(name, readerName, readerLength); copied != kSuccess) {
            return copied;
        }
    }
    if (state != nullptr)
        *state = s;
    if (protocol != nullptr)
        *protocol = p;
    if (atrLength != nullptr) {
        const std::vector<std::uint8_t> atrText(bytes.begin(), bytes.end());
        return CopyOut(atrText, reinterpret_cast<char*>(atr), atrLength);
    }
    return kSuccess;
}

__declspec(dllexport) LONG WINAPI
    SCardTransmit(ULONG_PTR card, const IoRequest* sendPci, const BYTE* command,
                  DWORD commandLength, IoRequest*, BYTE* answer, DWORD* answerLength) {
    if (sendPci == nullptr || command == nullptr || answer == nullptr || answerLength == nullptr) {
        return kInvalidParameter;
    }
    Message m;
    m.U8(kTransmit);
    m.U64(card);
    m.U32(sendPci->dwProtocol);
    m.Bytes(command, commandLength);
    m.U32(*answerLength);
    Answer a = Call(m);
    const LONG rv = a.result;
    if (rv != kSuccess)
        return rv;
    const std::vector<std::uint8_t> bytes = a.reply.Bytes();
    if (bytes.size() > *answerLength)
        return kInsufficientBuffer;
    std::memcpy(answer, bytes.data(), bytes.size());
    *answerLength = static_cast<DWORD>(bytes.size());
    return kSuccess;
}

__declspec(dllexport) LONG WINAPI SCardDisconnect(ULONG_PTR card, DWORD disposition) {
    Message m;
    m.U8(kDisconnect);
    m.U64(card);
    m.U32(disposition);
    return Call(m).result;
}
}
