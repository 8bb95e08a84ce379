// Selection between the real channel of this platform and a test's fake.
#include <atomic>

#include "record/client_channel.h"

namespace orva::record {

ClientChannel& RealClientChannel();

namespace {
std::atomic<ClientChannel*> gOverride{nullptr};
}  // namespace

ClientChannel& GetClientChannel() {
    ClientChannel* channel = gOverride.load();
    return channel != nullptr ? *channel : RealClientChannel();
}

void SetClientChannel(ClientChannel* channel) {
    gOverride.store(channel);
}

}  // namespace orva::record
