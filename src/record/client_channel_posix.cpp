// The Linux channel: standard output stands in for the client program. There is no window
// message and no shared block, so there is nothing to create or release.
#include <cstdio>

#include "record/client_channel.h"

namespace orva::record {

namespace {

class StdoutChannel final : public ClientChannel {
  public:
    Handover Hand(std::span<const std::uint8_t> record) override {
        const std::size_t written = std::fwrite(record.data(), 1, record.size(), stdout);
        const bool flushed = std::fflush(stdout) == 0;
        return written == record.size() && flushed ? Handover::Delivered : Handover::NoChannel;
    }
};

}  // namespace

ClientChannel& RealClientChannel() {
    static StdoutChannel channel;
    return channel;
}

bool CreateClientChannel(bool) {
    return true;
}

void ReleaseClientChannel() {}

}  // namespace orva::record
