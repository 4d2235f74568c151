#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A server the transport talks to: a host name or address and a port.
struct P2PEndpoint {
    std::string host;
    uint16_t port = 0;

    bool IsSet() const { return !host.empty(); }
    // "host:port", an IPv6 address in brackets.
    std::string Text() const {
        return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    }
};

// Where the transport searches for devices, which servers help it reach them
// and how patient it is. These are settings of the transport only; by default
// everything stays on this machine.
//
// Each setting is a key of a config file and can be overridden by the
// environment variable VANTOR_P2P_<KEY in capitals>. They are read in this
// order, a later source replacing a key of an earlier one:
//   the defaults below,
//   /etc/vantor/p2p.conf                      (the system's),
//   $XDG_CONFIG_HOME/vantor/p2p.conf          (the user's; ~/.config when unset),
//   the environment.
// VANTOR_P2P_CONFIG names one file to read instead of the two.
//
//   hosts            comma-separated hosts to search (default 127.0.0.1; IPv6 bare
//                    or in brackets), besides every local network's broadcast
//                    address and every local link's IPv6 all-nodes group
//   port             first UDP search port (default 32760)
//   span             number of search ports from the first (default 16)
//   bind             address a device listens on (default 127.0.0.1, with ::1;
//                    0.0.0.0 or :: for every address of both families)
//   search_ms        how long a search for a UID lasts (default 3000)
//   timeout_ms       silence after which a session counts as dead (default 10000)
//   broker           mqtt://host[:port] or mqtts://host[:port] (TLS); none by default
//   broker_ca        PEM file of the CA that a mqtts:// broker's certificate must
//                    chain to (default: the system's CAs in /etc/ssl/certs)
//   broker_user, broker_password   the broker account
//   stun             host[:port] of the STUN server (port 3478 when omitted)
//   turn             host[:port] of the TURN server, tried over UDP and TCP
//   turn_user, turn_password       the TURN account
//
// A bad value (an unknown key, an unparsable URL, a number out of range) is an
// error naming the source and the value; it never falls back to a default.
// A program checks the settings once at start with CheckAtStart and ends when
// they are bad. A process may instead fix them with Set (tests, tools).
struct P2PSettings {
    std::vector<std::string> hosts{"127.0.0.1"};
    uint16_t port = 32760;
    int portSpan = 16;
    std::string bindAddress = "127.0.0.1";
    int searchTimeoutMs = 3000;
    int sessionTimeoutMs = 10000;

    P2PEndpoint broker; // not set: no broker, the LAN search only
    bool brokerTls = false;
    std::string brokerCaFile; // empty: the system's CAs
    std::string brokerUser;
    std::string brokerPassword;
    P2PEndpoint stun;
    P2PEndpoint turn;
    std::string turnUser;
    std::string turnPassword;

    // The settings in force: those given to Set, else those Load reads. When
    // Load fails this answers the defaults and says why once on stderr; a
    // program that called CheckAtStart never gets there.
    static P2PSettings Current();
    // What Load reads, ignoring Set; the defaults when Load fails.
    static P2PSettings FromEnvironment();
    // Reads the files and the environment. On a bad value: false, and `error`
    // holds one line naming where the value came from and the value.
    static bool Load(P2PSettings& out, std::string& error);
    // Prints "PROGRAM: ERROR" on stderr and answers false when Load fails.
    static bool CheckAtStart(const char* program);
    // The config files Load reads, in the order it reads them.
    static std::vector<std::string> ConfigFiles();
    // Sets one key (a file's name for it) from text. `where` names the source
    // in the error (a file and line, or a variable).
    bool Apply(const std::string& key, const std::string& value, const std::string& where, std::string& error);
    // Applies a config file's "key = value" lines; '#' starts a comment. A
    // missing file is no error.
    bool ApplyFile(const std::string& path, std::string& error);
    // Applies every VANTOR_P2P_<KEY> variable that is set and not empty.
    bool ApplyEnvironment(std::string& error);

    static void Set(const P2PSettings& settings);
    static void ClearOverride();
};
