// The three NAT profiles of scripts/netlab, run by the lab itself: a real
// mosquitto and coturn in a public namespace, vantor-camsim behind one NAT,
// vantor-p2pcheck (the real connect) behind another. Each profile must take
// its path: two cone NATs a direct one, a symmetric camera NAT a relay, a
// desk network without UDP a relay (over TCP to the TURN server). No timing
// is judged here; the lab prints the figures.
#include "tests/support/TestStreams.h"

#include <gtest/gtest.h>

#include <regex>
#include <unistd.h>

namespace {

bool Have(const std::string& tool) {
    int status = -1;
    TestStreams::Run("command -v " + tool + " >/dev/null 2>&1", &status);
    return status == 0;
}

TEST(NatProfilesTest, EachProfileTakesItsPath) {
    if (geteuid() != 0)
        GTEST_SKIP() << "network namespaces need root";
    for (const char* tool : {"ip", "nft", "tc", "mosquitto", "mosquitto_passwd", "turnserver"})
        if (!Have(tool))
            GTEST_SKIP() << tool << " is missing (scripts/setup installs it)";
    // The lab removes its namespaces and processes when it ends, failed or not.
    int status = -1;
    const std::string out =
        TestStreams::Run(std::string(VANTOR_SOURCE_DIR) + "/scripts/netlab --build " + VANTOR_BINARY_DIR +
                             " --profile cone,symmetric,udp-blocked --connects 2 --seconds 3 2>&1",
                         &status);
    EXPECT_EQ(status, 0) << out;
    for (const auto& [profile, path] : {std::pair{"cone", "direct"}, {"symmetric", "relay"}, {"udp-blocked", "relay"}})
        EXPECT_TRUE(std::regex_search(out, std::regex(std::string("netlab: ") + profile + " path " + path +
                                                      " connect p50 [0-9]+ ms p95 [0-9]+ ms pictures [1-9]")))
            << profile << ":\n"
            << out;
    std::smatch prefix;
    ASSERT_TRUE(std::regex_search(out, prefix, std::regex("namespaces (vnl[0-9]+)-"))) << out;
    EXPECT_EQ(TestStreams::Run("ip netns list | grep '^" + prefix[1].str() + "-' || true"), "")
        << "namespaces left behind";
}

} // namespace
