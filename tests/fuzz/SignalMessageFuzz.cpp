// Feeds arbitrary bytes to the broker signaling's message parser; whatever it
// accepts must encode again to a message it accepts with the same fields.
#include "p2p/SignalMessage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace p2p;
    SignalMessage message;
    if (!DecodeSignal(data, size, message))
        return 0;
    std::string again = EncodeSignal(message);
    SignalMessage back;
    if (!DecodeSignal(reinterpret_cast<const uint8_t*>(again.data()), again.size(), back) ||
        back.type != message.type || back.client != message.client || back.ufrag != message.ufrag ||
        back.pwd != message.pwd || back.online != message.online || back.candidates != message.candidates ||
        back.via != message.via || back.code != message.code)
        std::abort();
    return 0;
}
