// Feeds arbitrary bytes, as a hostile client sends them before any
// authentication, to a device's TLS layer in two pieces (the first byte says
// where to cut); whatever it makes of them, it must neither crash nor leak.
#include "p2p/TlsLayer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::shared_ptr<TlsLayer::Identity> key = TlsLayer::Identity::Generate();
    if (size == 0)
        return 0;
    std::unique_ptr<TlsLayer> server = TlsLayer::Server(key);
    const size_t cut = 1 + data[0] * (size - 1) / 255;
    std::vector<uint8_t> out;
    uint8_t plain[4096];
    for (auto [from, to] : {std::pair<size_t, size_t>{1, cut}, {cut, size}}) {
        if (!server->PutCiphertext(data + from, to - from))
            break;
        server->TakeCiphertext(out);
        while (server->ReadPlain(plain, sizeof plain) > 0) {
        }
    }
    return 0;
}
