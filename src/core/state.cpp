#include "core/state.h"

namespace orva::core {

namespace {
RunOptions gOptions;
ReaderState gReader;
}  // namespace

RunOptions& Options() {
    return gOptions;
}
ReaderState& Reader() {
    return gReader;
}

void ResetState() {
    gOptions.endless = false;
    gOptions.invisible = false;
    gOptions.debug = false;
    gOptions.writeFile = false;
    gOptions.noClientSend = false;
    gOptions.readGdo = false;
    gOptions.outputFileName.clear();
    gOptions.portNumber = 0;
    gOptions.tempDir.clear();
    gOptions.portName.clear();
    gOptions.librarySuffix.clear();

    gReader.abort = false;
    gReader.cardKind = CardKind::Kvk;
}

}  // namespace orva::core
