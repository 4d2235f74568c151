#pragma once

// A simulated camera in the test process that also keeps every talk-back
// control message it receives, so tests can look at the batches exactly as
// they travelled. The camera itself checks each record and saves the AAC.

#include "CamSim.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct TalkbackMessage {
    uint32_t type = 0;
    std::vector<uint8_t> payload;
};

struct CameraLog {
    std::mutex mutex;
    std::vector<std::string> lines;
};

inline CamSimConfig TestCameraConfig(const std::string& uid, const std::string& talkbackDir,
                                     const std::shared_ptr<CameraLog>& log) {
    CamSimConfig config;
    config.uids = {uid};
    config.talkbackDir = talkbackDir;
    config.log = [log](const std::string& line) {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->lines.push_back(line);
    };
    return config;
}

// A UID no other test process serves.
inline std::string UniqueUid(const char* prefix) {
    static int counter = 0;
    return std::string(prefix) + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

class TestCamera : public CamSim {
public:
    TestCamera(const std::string& uid, const std::string& talkbackDir)
        : TestCamera(uid, talkbackDir, std::make_shared<CameraLog>()) {}
    ~TestCamera() override { Stop(); }

    void OnIOCtrl(int session, uint32_t type, const uint8_t* payload, size_t length) override {
        CamSim::OnIOCtrl(session, type, payload, length); // the camera has handled it when we see it
        if (type < 0x0350 || type > 0x0352)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(TalkbackMessage{type, std::vector<uint8_t>(payload, payload + length)});
        m_changed.notify_all();
    }

    // Waits, at most `limit`, until `done` holds for the talk-back messages so far.
    bool WaitFor(const std::function<bool(const std::vector<TalkbackMessage>&)>& done,
                 std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return done(m_messages); });
    }

    std::vector<TalkbackMessage> Messages() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

    std::vector<std::string> LogLines() {
        std::lock_guard<std::mutex> lock(m_log->mutex);
        return m_log->lines;
    }

private:
    TestCamera(const std::string& uid, const std::string& talkbackDir, std::shared_ptr<CameraLog> log)
        : CamSim(TestCameraConfig(uid, talkbackDir, log)), m_log(std::move(log)) {}

    std::shared_ptr<CameraLog> m_log;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<TalkbackMessage> m_messages;
};

inline size_t CountType(const std::vector<TalkbackMessage>& messages, uint32_t type) {
    size_t n = 0;
    for (const auto& message : messages)
        n += message.type == type ? 1 : 0;
    return n;
}

// One record of a batch as it travelled.
struct TalkbackRecord {
    uint32_t sequence = 0;
    uint32_t frameLength = 0; // L
    std::vector<uint8_t> adts;
    size_t size = 0; // the whole record
};

inline uint32_t ReadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Splits a batch into its records; false when the lengths do not add up.
inline bool SplitBatch(const std::vector<uint8_t>& batch, std::vector<TalkbackRecord>& records) {
    size_t pos = 0;
    while (pos < batch.size()) {
        if (batch.size() - pos < 15)
            return false;
        TalkbackRecord record;
        record.sequence = ReadLE32(batch.data() + pos);
        record.frameLength = ReadLE32(batch.data() + pos + 4);
        if (record.frameLength < 7 || batch.size() - pos - 15 < record.frameLength - 7)
            return false;
        record.adts.assign(batch.begin() + static_cast<long>(pos) + 8, batch.begin() + static_cast<long>(pos) + 15);
        record.size = 15 + record.frameLength - 7;
        records.push_back(record);
        pos += record.size;
    }
    return true;
}
