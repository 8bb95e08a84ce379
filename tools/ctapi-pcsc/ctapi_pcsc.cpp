// The CT-API entry points of the PC/SC terminal (pcsc_terminal.cpp says what they do), built as
// ct_api_comPCS, ct_api_usbPCS and ct_api_lanPCS so that "-LPCS" finds it under every port name.
#include "pcsc_env.h"
#include "pcsc_terminal.h"
#include "pcsc_winscard.h"
#include "terminal/ctapi.h"

namespace orva::pcsc {
namespace {

PcscTerminals& TheTerminals() {
    static PcscTerminals terminals(SystemPcsc(), PcscGetEnv);
    return terminals;
}

}  // namespace
}  // namespace orva::pcsc

extern "C" {

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_init(std::uint16_t ctn, std::uint16_t pn) {
    return orva::pcsc::TheTerminals().Init(ctn, pn);
}

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_data(std::uint16_t ctn, std::uint8_t* dad,
                                                      std::uint8_t* sad, std::uint16_t lenc,
                                                      std::uint8_t* command, std::uint16_t* lenr,
                                                      std::uint8_t* response) {
    return orva::pcsc::TheTerminals().Data(ctn, dad, sad, lenc, command, lenr, response);
}

ORVA_CTAPI_EXPORT std::int8_t ORVA_CTAPI_CALL CT_close(std::uint16_t ctn) {
    return orva::pcsc::TheTerminals().Close(ctn);
}
}
