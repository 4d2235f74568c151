#include "p2p/P2PSettings.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <sstream>

namespace {

std::mutex g_mutex;
std::optional<P2PSettings> g_override;

long ReadNumber(const char* name, long fallback, long low, long high) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high)
        return fallback;
    return value;
}

} // namespace

P2PSettings P2PSettings::FromEnvironment() {
    P2PSettings s;
    if (const char* hosts = std::getenv("VANTOR_P2P_HOSTS"); hosts != nullptr && *hosts != '\0') {
        std::vector<std::string> list;
        std::stringstream in(hosts);
        std::string item;
        while (std::getline(in, item, ',')) {
            while (!item.empty() && item.front() == ' ')
                item.erase(item.begin());
            while (!item.empty() && item.back() == ' ')
                item.pop_back();
            if (!item.empty())
                list.push_back(item);
        }
        if (!list.empty())
            s.hosts = list;
    }
    s.port = static_cast<uint16_t>(ReadNumber("VANTOR_P2P_PORT", s.port, 1, 65535));
    s.portSpan = static_cast<int>(ReadNumber("VANTOR_P2P_SPAN", s.portSpan, 1, 256));
    if (s.port + s.portSpan - 1 > 65535)
        s.portSpan = 65536 - s.port;
    if (const char* bind = std::getenv("VANTOR_P2P_BIND"); bind != nullptr && *bind != '\0')
        s.bindAddress = bind;
    s.searchTimeoutMs = static_cast<int>(ReadNumber("VANTOR_P2P_SEARCH_MS", s.searchTimeoutMs, 100, 600000));
    s.sessionTimeoutMs = static_cast<int>(ReadNumber("VANTOR_P2P_TIMEOUT_MS", s.sessionTimeoutMs, 500, 3600000));
    return s;
}

P2PSettings P2PSettings::Current() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_override)
        return *g_override;
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
