// The broker path end to end: a device's BrokerListener and two desks'
// BrokerDialers on a real mosquitto with the sample ACL; each dial ends in an
// ICE stream of its own on which bytes cross both ways.
#include "p2p/BrokerDialer.h"
#include "p2p/BrokerListener.h"
#include "p2p/P2PErrors.h"
#include "tests/support/TestBroker.h"
#include "tests/support/TestNet.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

using namespace p2p;

namespace {

// Reads whatever `stream` holds until `size` bytes came or 10 s passed.
std::string ReadSome(ByteStream& stream, size_t size) {
    std::string got;
    testnet::WaitUntil(
        [&] {
            char buffer[256];
            for (ptrdiff_t n; (n = stream.Read(reinterpret_cast<uint8_t*>(buffer), sizeof buffer)) > 0;)
                got.append(buffer, static_cast<size_t>(n));
            return got.size() >= size;
        },
        10000);
    return got;
}

TEST(BrokerPathTest, TwoDesksEachGetTheirOwnStream) {
    std::string uid = testnet::UniqueUid("PATH");
    TestBroker broker({{uid, "pw"}, {"desk-01", "pw"}});
    ASSERT_TRUE(broker.Start());
    P2PSettings settings;
    settings.broker = {"127.0.0.1", broker.port()};
    settings.brokerPassword = "pw";

    std::mutex mutex;
    std::vector<std::shared_ptr<IceStream>> accepted;
    settings.brokerUser = uid;
    BrokerListener device(settings, {uid}, [&](const std::string&, std::shared_ptr<IceStream> stream) {
        // Echoes what each desk sends, so each desk sees its own bytes back.
        std::lock_guard<std::mutex> lock(mutex);
        IceStream* s = stream.get();
        auto echo = [s] {
            uint8_t buffer[256];
            for (ptrdiff_t n; (n = s->Read(buffer, sizeof buffer)) > 0;)
                s->Write(buffer, static_cast<size_t>(n));
        };
        stream->SetCallback(echo);
        echo(); // bytes that came before the callback was set
        accepted.push_back(stream);
    });
    ASSERT_EQ(device.Start(), P2P_OK);
    ASSERT_TRUE(device.WaitConnected(5000));

    settings.brokerUser = "desk-01";
    std::vector<std::string> faults;
    std::vector<std::thread> desks;
    for (int i = 0; i < 2; ++i)
        desks.emplace_back([&, i] {
            BrokerDialer dialer(settings);
            std::unique_ptr<IceStream> stream;
            int r = dialer.Dial(uid, 10000, stream);
            std::string hello = "hello from desk " + std::to_string(i);
            size_t sent = 0;
            auto data = reinterpret_cast<const uint8_t*>(hello.data());
            bool written = r == P2P_OK && testnet::WaitUntil(
                                              [&] {
                                                  ptrdiff_t n = stream->Write(data + sent, hello.size() - sent);
                                                  sent += n > 0 ? static_cast<size_t>(n) : 0;
                                                  return sent == hello.size();
                                              },
                                              10000);
            std::string echo = written ? ReadSome(*stream, hello.size()) : std::string();
            std::lock_guard<std::mutex> lock(mutex);
            if (echo != hello)
                faults.push_back("desk " + std::to_string(i) + ": dial " + std::to_string(r) + ", " +
                                 SignalingCall::OutcomeName(dialer.Outcome()) + ", echo \"" + echo + "\"");
        });
    for (auto& t : desks)
        t.join();
    EXPECT_TRUE(faults.empty()) << faults.front();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(accepted.size(), 2u);
}

} // namespace
