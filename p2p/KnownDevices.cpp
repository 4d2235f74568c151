#include "p2p/KnownDevices.h"

#include "p2p/Protocol.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

bool KnownDevices::IsFingerprint(const std::string& text) {
    static const std::string kPrefix = "SHA256:";
    if (text.size() != kPrefix.size() + 43 || text.compare(0, kPrefix.size(), kPrefix) != 0)
        return false;
    for (size_t i = kPrefix.size(); i < text.size(); ++i) {
        const char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/')
            return false;
    }
    return true;
}

bool KnownDevices::Load(std::string& error) {
    m_lines.clear();
    m_pins.clear();
    m_problems.clear();
    std::ifstream in(m_path);
    if (!in) {
        if (errno == ENOENT)
            return true;
        error = m_path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        m_lines.push_back(line);
        Parse(line, m_lines.size());
    }
    if (in.bad()) {
        error = m_path + ": cannot be read";
        return false;
    }
    return true;
}

void KnownDevices::Parse(const std::string& line, size_t number) {
    std::istringstream words(line);
    std::string uid, fingerprint, rest;
    if (!(words >> uid) || uid[0] == '#')
        return; // blank, or a comment
    words >> fingerprint >> rest;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (!p2p::IsValidName(uid, p2p::kMaxUidLength) || !IsFingerprint(fingerprint) ||
        (!rest.empty() && rest[0] != '#')) {
        m_problems.push_back(where + "not a UID and a fingerprint");
    } else if (m_pins.count(uid) > 0) {
        m_problems.push_back(where + uid + " is listed before; the first line counts");
    } else {
        m_pins[uid] = fingerprint;
    }
}

std::string KnownDevices::Find(const std::string& uid) const {
    auto it = m_pins.find(uid);
    return it == m_pins.end() ? std::string() : it->second;
}

bool KnownDevices::Add(const std::string& uid, const std::string& fingerprint, std::string& error) {
    if (!p2p::IsValidName(uid, p2p::kMaxUidLength) || !IsFingerprint(fingerprint)) {
        error = "not a UID and a fingerprint";
        return false;
    }
    if (m_pins.count(uid) > 0)
        return true;
    std::string text;
    for (const std::string& line : m_lines)
        text += line + "\n";
    text += uid + " " + fingerprint + "\n";

    const std::string temp = m_path + ".tmp" + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), m_path.c_str()) != 0) {
        error = m_path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    m_lines.push_back(uid + " " + fingerprint);
    m_pins[uid] = fingerprint;
    return true;
}
