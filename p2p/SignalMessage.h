#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace p2p {

// One message of the broker signaling (see PROTOCOL.md, "Signaling through
// a broker"): a few text lines, "VSIG 1 TYPE" and then "key value" lines.
struct SignalMessage {
    enum Type { Offer, Answer, Candidate, Done, Reject, Presence };

    Type type = Offer;
    std::string client; // the calling client's id (all but Presence)
    std::string ufrag;  // ICE credentials (Offer, Answer)
    std::string pwd;
    std::vector<std::string> candidates; // ICE candidates, "candidate:..." (Offer, Answer, Candidate)
    bool online = false;                 // Presence
    std::string via;                     // Presence: the UID whose presence stands for this one
    int32_t code = 0;                    // Reject: a result code
};

constexpr size_t kMaxSignalSize = 16 * 1024;
constexpr size_t kMaxSignalCandidates = 32;
constexpr size_t kMaxSignalLine = 512;

// An id of a client or a UID: 1..64 of [A-Za-z0-9._-], safe inside a topic.
bool IsSignalId(const std::string& id);

// The topics (see PROTOCOL.md): a device listens on SignalInTopic of each of
// its UIDs, keeps its presence retained on SignalPresenceTopic and answers a
// client on SignalAnswerTopic, which only that client may read.
std::string SignalInTopic(const std::string& uid);
std::string SignalPresenceTopic(const std::string& uid);
std::string SignalAnswerTopic(const std::string& uid, const std::string& client);

std::string EncodeSignal(const SignalMessage& message);
// False for anything malformed: a wrong first line, an unknown type, a line
// too long or with control bytes, a field missing or invalid for the type,
// too many candidates, more than kMaxSignalSize bytes. Unknown keys are
// skipped, so that a later version can add some.
bool DecodeSignal(const uint8_t* data, size_t size, SignalMessage& out);

} // namespace p2p
