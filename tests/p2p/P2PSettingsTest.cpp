#include "p2p/P2PSettings.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

struct BadValue {
    const char* name;
    const char* key;
    const char* value;
};

class BadSettingTest : public testing::TestWithParam<BadValue> {};

// Each bad value is refused with a message that names the source and the
// value, instead of a default taking its place.
TEST_P(BadSettingTest, IsRefusedNamingTheValue) {
    P2PSettings s;
    std::string error;
    EXPECT_FALSE(s.Apply(GetParam().key, GetParam().value, "SOURCE", error));
    EXPECT_EQ(error.rfind("SOURCE: ", 0), 0u) << error;
    std::string named = std::string(GetParam().key) == "brokr" ? "\"brokr\"" : GetParam().value;
    EXPECT_NE(error.find(named), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadSettingTest,
    testing::Values(BadValue{"BrokerWithoutScheme", "broker", "broker.example:1883"},
                    BadValue{"BrokerOfAnotherScheme", "broker", "http://broker.example"},
                    BadValue{"BrokerWithPath", "broker", "mqtt://broker.example:1883/x"},
                    BadValue{"BrokerPortTooLarge", "broker", "mqtt://b:65536"},
                    BadValue{"BrokerWithoutHost", "broker", "mqtt://:1883"},
                    BadValue{"StunPortNotANumber", "stun", "stun.example:abc"},
                    BadValue{"TurnHostWithSpace", "turn", "turn example:3478"}, BadValue{"PortZero", "port", "0"},
                    BadValue{"PortWithTrailingText", "port", "32760x"}, BadValue{"NegativeSpan", "span", "-1"},
                    BadValue{"SearchTooShort", "search_ms", "5"}, BadValue{"HostsAllEmpty", "hosts", " , "},
                    BadValue{"HostNotIpv6", "hosts", "[::1::2]"}, BadValue{"BindBadScope", "bind", "fe80::1%a b"},
                    BadValue{"StunBareIpv6", "stun", "2001:db8::1:3478"}, BadValue{"UnknownKey", "brokr", "mqtt://b"}),
    [](const testing::TestParamInfo<BadValue>& info) { return std::string(info.param.name); });

TEST(P2PSettingsTest, GoodValuesAreParsed) {
    P2PSettings s;
    std::string error;
    ASSERT_TRUE(s.Apply("broker", "mqtts://broker.example", "x", error)) << error;
    EXPECT_EQ(s.broker.host, "broker.example");
    EXPECT_EQ(s.broker.port, 8883);
    EXPECT_TRUE(s.brokerTls);
    ASSERT_TRUE(s.Apply("turn", "[2001:db8::1]:5349", "x", error)) << error;
    EXPECT_EQ(s.turn.host, "2001:db8::1");
    EXPECT_EQ(s.turn.port, 5349);
    ASSERT_TRUE(s.Apply("broker", "mqtt://[::1]", "x", error)) << error;
    EXPECT_EQ(s.broker.Text(), "[::1]:1883");
    ASSERT_TRUE(s.Apply("hosts", " 10.0.0.2, cam.local, [::1], fe80::1%eth0 ", "x", error)) << error;
    EXPECT_EQ(s.hosts, (std::vector<std::string>{"10.0.0.2", "cam.local", "::1", "fe80::1%eth0"}));
    ASSERT_TRUE(s.Apply("bind", "[::]", "x", error)) << error;
    EXPECT_EQ(s.bindAddress, "::");
}

// The file sets keys, the environment overrides them, and a bad line stops the
// load naming the file and the line.
TEST(P2PSettingsTest, FileThenEnvironment) {
    TempDir dir;
    std::string path = (dir.path() / "p2p.conf").string();
    std::ofstream(path) << "# comment\n\nbroker = mqtt://file-broker:1884  # trailing\nsearch_ms = 900\n";
    setenv("VANTOR_P2P_CONFIG", path.c_str(), 1);
    setenv("VANTOR_P2P_SEARCH_MS", "1200", 1);
    P2PSettings s;
    std::string error;
    ASSERT_TRUE(P2PSettings::Load(s, error)) << error;
    EXPECT_EQ(s.broker.host, "file-broker");
    EXPECT_EQ(s.broker.port, 1884);
    EXPECT_EQ(s.searchTimeoutMs, 1200);

    std::ofstream(path, std::ios::app) << "stun = stun:99999\n";
    EXPECT_FALSE(P2PSettings::Load(s, error));
    EXPECT_EQ(error, path + ":5: \"stun:99999\" is not host:port");
    unsetenv("VANTOR_P2P_CONFIG");
    unsetenv("VANTOR_P2P_SEARCH_MS");
}

} // namespace
