// CSerial: a serial port opened for overlapped transfers, with an event thread that hands every
// port event to one of eight notification handlers. Same interface on Windows and Linux.
#pragma once

#include <cstdint>

namespace orva::terminal {

using SerialCallback = void (*)(void* userData);

enum class SerialHandler : int {
    Open = 0,
    Close,
    Receive,
    TransmitEmpty,
    Ring,
    Carrier,
    DsrChange,
    CtsChange,
};

class CSerial {
public:
    CSerial();
    virtual ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // parity 2 = even, stopBits 0 = one stop bit (the Windows encodings).
    bool Open(const char* name, std::uint32_t baudRate, std::uint8_t parity,
              std::uint8_t stopBits);
    bool Close();
    bool Write(const std::uint8_t* bytes, std::uint32_t count);
    std::uint32_t Read(std::uint8_t* buffer, std::uint32_t maxCount);

    void SetCallback(SerialHandler handler, SerialCallback callback);
    // ... (the helper that builds this class completes the interface)
};

}  // namespace orva::terminal
