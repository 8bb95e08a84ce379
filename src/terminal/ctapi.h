// The published CT-API: the three entry points of a card-terminal library. One prototype per
// entry point; the pointer types the program calls through are derived from them, so the calling
// convention (__stdcall on 32-bit Windows, as the vendors' libraries export it) cannot drift.
// Our own CT-API libraries (the simulated terminal, the test libraries) define these functions.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define ORVA_CTAPI_CALL __stdcall
#else
#define ORVA_CTAPI_CALL
#endif

#if defined(_WIN32)
#define ORVA_CTAPI_EXPORT __declspec(dllexport)
#else
#define ORVA_CTAPI_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
std::int8_t ORVA_CTAPI_CALL CT_init(std::uint16_t ctn, std::uint16_t pn);
std::int8_t ORVA_CTAPI_CALL CT_data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad,
                                    std::uint16_t lenc, std::uint8_t* command, std::uint16_t* lenr,
                                    std::uint8_t* response);
std::int8_t ORVA_CTAPI_CALL CT_close(std::uint16_t ctn);
}

namespace orva::terminal {

using CtInitFn = decltype(&CT_init);
using CtDataFn = decltype(&CT_data);
using CtCloseFn = decltype(&CT_close);

// CT-API result codes the program knows by number.
inline constexpr std::int8_t kCtOk = 0;
inline constexpr std::int8_t kCtErrTrans = -10;

}  // namespace orva::terminal
