// A tiny CT-API library for the binding tests, built as ct_api_usbTST and (without CT_init) as
// ct_api_comNOI. It answers RESET CT with 90 00 and writes back the addresses like a real
// library (source 1 = the terminal, destination 2 = the host). A command that begins FF FF makes
// CT_data fail with -1 and leave lenr and the response untouched.
#include <cstring>

#include "terminal/ctapi.h"

extern "C" {

#ifndef ORVA_TEST_NO_INIT
ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_init(std::uint16_t, std::uint16_t) {
    return 0;
}
#endif

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_data(std::uint16_t, std::uint8_t* dad,
                                                      std::uint8_t* sad, std::uint16_t lenc,
                                                      std::uint8_t* command, std::uint16_t* lenr,
                                                      std::uint8_t* response) {
    if (lenc >= 2 && command[0] == 0xFF && command[1] == 0xFF) {
        return -1;
    }
    const std::uint8_t answerFrom = *dad;
    if (*lenr < 2) {
        return -11;
    }
    response[0] = 0x90;
    response[1] = 0x00;
    *lenr = 2;
    *sad = answerFrom;
    *dad = 2;
    return 0;
}

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_close(std::uint16_t) {
    return 0;
}
}
