#include "p2p/SignalMessage.h"

#include <charconv>
#include <string_view>

namespace p2p {

namespace {

const char* const kTypeNames[] = {"offer", "answer", "candidate", "done", "reject", "presence"};

bool HasCredentials(SignalMessage::Type type) {
    return type == SignalMessage::Offer || type == SignalMessage::Answer;
}

bool CarriesCandidates(SignalMessage::Type type) {
    return HasCredentials(type) || type == SignalMessage::Candidate;
}

// ICE ufrag and pwd characters (RFC 8445: ice-char is ALPHA / DIGIT / "+" / "/").
bool IsIceToken(std::string_view text, size_t low, size_t high) {
    if (text.size() < low || text.size() > high)
        return false;
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
            return false;
    return true;
}

bool IsCandidate(std::string_view text) {
    if (text.rfind("candidate:", 0) != 0 || text.size() > 256)
        return false;
    for (char c : text)
        if (c < 0x20 || c > 0x7e)
            return false;
    return true;
}

bool ParseType(std::string_view name, SignalMessage::Type& type) {
    for (size_t i = 0; i < std::size(kTypeNames); ++i)
        if (name == kTypeNames[i]) {
            type = static_cast<SignalMessage::Type>(i);
            return true;
        }
    return false;
}

// The keys a type may carry; another type's key in a message is malformed
// (it would be lost on the way on), an unknown key is skipped.
bool KeyFits(std::string_view key, SignalMessage::Type type) {
    if (key == "client")
        return type != SignalMessage::Presence;
    if (key == "ufrag" || key == "pwd")
        return HasCredentials(type);
    if (key == "cand")
        return CarriesCandidates(type);
    if (key == "state" || key == "via")
        return type == SignalMessage::Presence;
    if (key == "code")
        return type == SignalMessage::Reject;
    return true;
}

bool ApplyLine(std::string_view key, std::string_view value, SignalMessage& m) {
    if (!KeyFits(key, m.type))
        return false;
    if (key == "client")
        m.client = value;
    else if (key == "ufrag")
        m.ufrag = value;
    else if (key == "pwd")
        m.pwd = value;
    else if (key == "cand") {
        if (!IsCandidate(value) || m.candidates.size() == kMaxSignalCandidates)
            return false;
        m.candidates.emplace_back(value);
    } else if (key == "state") {
        if (value != "online" && value != "offline")
            return false;
        m.online = value == "online";
    } else if (key == "via") {
        m.via = value;
    } else if (key == "code") {
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), m.code);
        if (ec != std::errc() || end != value.data() + value.size())
            return false;
    }
    return true;
}

bool FieldsFit(const SignalMessage& m) {
    if (m.type == SignalMessage::Presence)
        return m.via.empty() || IsSignalId(m.via);
    if (!IsSignalId(m.client))
        return false;
    if (HasCredentials(m.type))
        return IsIceToken(m.ufrag, 4, 256) && IsIceToken(m.pwd, 22, 256);
    if (m.type == SignalMessage::Candidate)
        return !m.candidates.empty();
    return true;
}

} // namespace

bool IsSignalId(const std::string& id) {
    if (id.empty() || id.size() > 64)
        return false;
    for (char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-'))
            return false;
    return true;
}

std::string SignalInTopic(const std::string& uid) {
    return "vantor/d/" + uid + "/in";
}

std::string SignalPresenceTopic(const std::string& uid) {
    return "vantor/d/" + uid + "/presence";
}

std::string SignalAnswerTopic(const std::string& uid, const std::string& client) {
    return "vantor/d/" + uid + "/to/" + client;
}

std::string EncodeSignal(const SignalMessage& m) {
    std::string out = std::string("VSIG 1 ") + kTypeNames[m.type] + "\n";
    auto line = [&out](const char* key, const std::string& value) { out += std::string(key) + " " + value + "\n"; };
    if (m.type == SignalMessage::Presence) {
        line("state", m.online ? "online" : "offline");
        if (!m.via.empty())
            line("via", m.via);
        return out;
    }
    line("client", m.client);
    if (HasCredentials(m.type)) {
        line("ufrag", m.ufrag);
        line("pwd", m.pwd);
    }
    if (CarriesCandidates(m.type))
        for (const std::string& c : m.candidates)
            line("cand", c);
    if (m.type == SignalMessage::Reject)
        line("code", std::to_string(m.code));
    return out;
}

bool DecodeSignal(const uint8_t* data, size_t size, SignalMessage& out) {
    if (data == nullptr || size == 0 || size > kMaxSignalSize)
        return false;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    SignalMessage m;
    bool first = true;
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return false; // every line ends with a newline; a cut message is refused
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.size() > kMaxSignalLine)
            return false;
        for (char c : line)
            if (c < 0x20 || c > 0x7e)
                return false;
        if (first) {
            if (line.rfind("VSIG 1 ", 0) != 0 || !ParseType(line.substr(7), m.type))
                return false;
            first = false;
            continue;
        }
        size_t space = line.find(' ');
        if (space == std::string_view::npos || space == 0)
            return false;
        if (!ApplyLine(line.substr(0, space), line.substr(space + 1), m))
            return false;
    }
    if (first || !FieldsFit(m))
        return false;
    out = std::move(m);
    return true;
}

} // namespace p2p
