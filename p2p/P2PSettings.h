#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where the transport searches for devices and how patient it is. These are
// settings of the transport only. By default everything stays on this
// machine. Each value can be set in the environment:
//   VANTOR_P2P_HOSTS      comma-separated hosts to search (default 127.0.0.1)
//   VANTOR_P2P_PORT       first UDP search port (default 32760)
//   VANTOR_P2P_SPAN       number of search ports from the first (default 16)
//   VANTOR_P2P_BIND       address a device listens on (default 127.0.0.1)
//   VANTOR_P2P_SEARCH_MS  how long a search for a UID lasts (default 3000)
//   VANTOR_P2P_TIMEOUT_MS silence after which a session counts as dead (default 10000)
// A process may instead fix them with P2PSettings::Set (tests, tools).
struct P2PSettings {
    std::vector<std::string> hosts{"127.0.0.1"};
    uint16_t port = 32760;
    int portSpan = 16;
    std::string bindAddress = "127.0.0.1";
    int searchTimeoutMs = 3000;
    int sessionTimeoutMs = 10000;

    // The settings in force: those given to Set, else the environment's.
    static P2PSettings Current();
    static P2PSettings FromEnvironment();
    static void Set(const P2PSettings& settings);
    static void ClearOverride();
};
