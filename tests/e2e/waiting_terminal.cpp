// A CT-API library for the end-to-end tests of the window: a terminal in which no card is ever
// inserted. Every command is answered with 90 00, except REQUEST ICC, which answers 62 00, so a
// reading run waits for a card until it is aborted. Built as ct_api_usbNOC, and without CT_init
// as ct_api_lanBAD.
#include "terminal/ctapi.h"

extern "C" {

#ifndef ORVA_E2E_NO_INIT
ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_init(std::uint16_t, std::uint16_t) {
    return 0;
}
#endif

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_data(std::uint16_t, std::uint8_t* dad,
                                                      std::uint8_t* sad, std::uint16_t lenc,
                                                      std::uint8_t* command, std::uint16_t* lenr,
                                                      std::uint8_t* response) {
    if (*lenr < 2) {
        return -11;
    }
    const bool requestIcc = lenc >= 2 && command[0] == 0x20 && command[1] == 0x12;
    response[0] = requestIcc ? 0x62 : 0x90;
    response[1] = 0x00;
    *lenr = 2;
    const std::uint8_t from = *dad;
    *sad = from;
    *dad = 2;
    return 0;
}

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_close(std::uint16_t) {
    return 0;
}
}
