#include "p2p/P2PSettings.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <net/if.h>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace {

std::mutex g_mutex;
std::optional<P2PSettings> g_override;

const char* const kKeys[] = {
    "hosts",           "port", "span", "bind",      "search_ms",     "timeout_ms", "broker", "broker_user",
    "broker_password", "stun", "turn", "turn_user", "turn_password", "broker_ca"};

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string EnvironmentName(const std::string& key) {
    std::string name = "VANTOR_P2P_";
    for (char c : key)
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

bool Fail(std::string& error, const std::string& where, const std::string& what) {
    error = where + ": " + what;
    return false;
}

bool ReadNumber(const std::string& text, long low, long high, long& out) {
    if (text.empty() || text.size() > 12)
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < low || value > high)
        return false;
    out = value;
    return true;
}

// An IPv6 address, with an interface after "%" for a link-local one.
bool ValidIpv6(const std::string& text) {
    const size_t percent = text.find('%');
    in6_addr address{};
    if (inet_pton(AF_INET6, text.substr(0, percent).c_str(), &address) != 1)
        return false;
    if (percent == std::string::npos)
        return true;
    const std::string scope = text.substr(percent + 1);
    return !scope.empty() && scope.size() < IF_NAMESIZE &&
           scope.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
               std::string::npos;
}

// A host name, an IPv4 address or an IPv6 address in brackets (or bare
// where no port can follow).
bool ValidHost(const std::string& host, bool bareIpv6 = false) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return ValidIpv6(host.substr(1, host.size() - 2));
    if (bareIpv6 && host.find(':') != std::string::npos)
        return ValidIpv6(host);
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    return true;
}

std::string Unbracketed(const std::string& host) {
    return host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
}

// "host[:port]", the port defaulting; a bracketed IPv6 address keeps its brackets off.
bool ParseEndpoint(const std::string& text, uint16_t defaultPort, P2PEndpoint& out) {
    std::string host = text;
    long port = defaultPort;
    size_t colon = text.rfind(':');
    bool bracketed = !text.empty() && text.front() == '[';
    if (colon != std::string::npos && (!bracketed || colon > text.find(']'))) {
        host = text.substr(0, colon);
        if (!ReadNumber(text.substr(colon + 1), 1, 65535, port))
            return false;
    }
    if (!ValidHost(host))
        return false;
    out.host = Unbracketed(host);
    out.port = static_cast<uint16_t>(port);
    return true;
}

bool ParseHosts(const std::string& text, std::vector<std::string>& out) {
    std::vector<std::string> list;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        item = Trim(item);
        if (item.empty())
            continue;
        if (!ValidHost(item, true))
            return false;
        list.push_back(Unbracketed(item));
    }
    if (list.empty())
        return false;
    out = list;
    return true;
}

bool ParseNumberKey(const std::string& value, const std::string& where, long low, long high, long& out,
                    std::string& error) {
    if (ReadNumber(value, low, high, out))
        return true;
    return Fail(error, where,
                "\"" + value + "\" is not a number from " + std::to_string(low) + " to " + std::to_string(high));
}

} // namespace

bool P2PSettings::Apply(const std::string& key, const std::string& value, const std::string& where,
                        std::string& error) {
    long n = 0;
    if (key == "hosts") {
        if (!ParseHosts(value, hosts))
            return Fail(error, where, "\"" + value + "\" is not a comma-separated list of hosts");
    } else if (key == "port") {
        if (!ParseNumberKey(value, where, 1, 65535, n, error))
            return false;
        port = static_cast<uint16_t>(n);
    } else if (key == "span") {
        if (!ParseNumberKey(value, where, 1, 256, n, error))
            return false;
        portSpan = static_cast<int>(n);
    } else if (key == "bind") {
        if (!ValidHost(value, true))
            return Fail(error, where, "\"" + value + "\" is not an address to listen on");
        bindAddress = Unbracketed(value);
    } else if (key == "search_ms") {
        if (!ParseNumberKey(value, where, 100, 600000, n, error))
            return false;
        searchTimeoutMs = static_cast<int>(n);
    } else if (key == "timeout_ms") {
        if (!ParseNumberKey(value, where, 500, 3600000, n, error))
            return false;
        sessionTimeoutMs = static_cast<int>(n);
    } else if (key == "broker") {
        bool tls = value.rfind("mqtts://", 0) == 0;
        bool plain = value.rfind("mqtt://", 0) == 0;
        std::string rest = tls ? value.substr(8) : plain ? value.substr(7) : std::string();
        if (!rest.empty() && rest.back() == '/')
            rest.pop_back();
        if ((!tls && !plain) || !ParseEndpoint(rest, tls ? 8883 : 1883, broker))
            return Fail(error, where, "\"" + value + "\" is not a broker URL (mqtt://host:port or mqtts://host:port)");
        brokerTls = tls;
    } else if (key == "stun" || key == "turn") {
        if (!ParseEndpoint(value, 3478, key == "stun" ? stun : turn))
            return Fail(error, where, "\"" + value + "\" is not host:port");
    } else if (key == "broker_ca") {
        if (access(value.c_str(), R_OK) != 0)
            return Fail(error, where, "\"" + value + "\" is not a readable CA file");
        brokerCaFile = value;
    } else if (key == "broker_user") {
        brokerUser = value;
    } else if (key == "broker_password") {
        brokerPassword = value;
    } else if (key == "turn_user") {
        turnUser = value;
    } else if (key == "turn_password") {
        turnPassword = value;
    } else {
        return Fail(error, where, "unknown key \"" + key + "\"");
    }
    if (port + portSpan - 1 > 65535)
        portSpan = 65536 - port;
    return true;
}

bool P2PSettings::ApplyFile(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in)
        return true;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string where = path + ":" + std::to_string(number);
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            return Fail(error, where, "\"" + line + "\" is not key = value");
        if (!Apply(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)), where, error))
            return false;
    }
    return true;
}

bool P2PSettings::ApplyEnvironment(std::string& error) {
    for (const char* key : kKeys) {
        std::string name = EnvironmentName(key);
        const char* value = std::getenv(name.c_str());
        if (value != nullptr && *value != '\0' && !Apply(key, Trim(value), name, error))
            return false;
    }
    return true;
}

std::vector<std::string> P2PSettings::ConfigFiles() {
    if (const char* only = std::getenv("VANTOR_P2P_CONFIG"); only != nullptr && *only != '\0')
        return {only};
    std::vector<std::string> files{"/etc/vantor/p2p.conf"};
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/')
        files.push_back(std::string(xdg) + "/vantor/p2p.conf");
    else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        files.push_back(std::string(home) + "/.config/vantor/p2p.conf");
    return files;
}

bool P2PSettings::Load(P2PSettings& out, std::string& error) {
    P2PSettings s;
    for (const std::string& file : ConfigFiles())
        if (!s.ApplyFile(file, error))
            return false;
    if (!s.ApplyEnvironment(error))
        return false;
    out = s;
    return true;
}

bool P2PSettings::CheckAtStart(const char* program) {
    P2PSettings s;
    std::string error;
    if (Load(s, error))
        return true;
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return false;
}

P2PSettings P2PSettings::FromEnvironment() {
    P2PSettings s;
    std::string error;
    if (!Load(s, error)) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            std::fprintf(stderr, "p2p: %s; using the default settings\n", error.c_str());
        return P2PSettings{};
    }
    return s;
}

P2PSettings P2PSettings::Current() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_override)
            return *g_override;
    }
    return FromEnvironment();
}

void P2PSettings::Set(const P2PSettings& settings) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_override = settings;
}

void P2PSettings::ClearOverride() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_override.reset();
}
