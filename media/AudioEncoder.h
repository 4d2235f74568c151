#pragma once

#include "platform/NamedMutex.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

class AVModel;
class FrameBufferList;

// The talk-back encoder of one pane. Its thread takes the captured blocks of
// 1024 samples from the input queue, encodes them as AAC (8000 Hz mono,
// 12200 bit/s), wraps each packet as a talk-back record and hands the records
// four at a time to the sink, which sends them to the device.
//
// A talk-back record: 32-bit sequence number (1 for the first record of a
// thread), 32-bit L = packet size + 7, a 7-byte ADTS header built from L,
// then the packet; all integers little-endian.
//
// Locks: "HandleEncoder" guards SetSink / StartEncoder / StopEncoder;
// "HandleExit" (shared with the decoders) guards the stop flag and is held
// only to test or set it.
class AudioEncoder {
public:
    static constexpr uint32_t kQueueCount = 50;
    static constexpr uint32_t kQueueBufferSize = 16384;
    static constexpr uint32_t kBlockSamples = 1024;
    static constexpr uint32_t kBatchSize = 65536;
    static constexpr uint32_t kRecordsPerBatch = 4;
    static constexpr uint32_t kRecordHeaderSize = 15;
    static constexpr int kBitRate = 12200;
    static constexpr int kSampleRate = 8000;

    AudioEncoder();
    ~AudioEncoder();
    AudioEncoder(const AudioEncoder&) = delete;
    AudioEncoder& operator=(const AudioEncoder&) = delete;

    // Stores the sink (not owned) only while no encoder thread exists.
    void SetSink(AVModel* sink);
    int StartEncoder();
    int StopEncoder();

    // The queue the capture callback fills; null while talk-back is off.
    FrameBufferList* GetInputQueue() const { return m_inputQueue.load(std::memory_order_acquire); }

    // Bits per sample of a captured block of `length` bytes, by the rule
    // (length * 8) >> 10: 8 or 16 for a 1024-sample block, anything else
    // for a block that is skipped.
    static uint32_t BlockBits(uint32_t length);
    static float ConvertSample8(uint8_t sample);
    static float ConvertSample16(int16_t sample);
    // Converts one captured block of `length` bytes into kBlockSamples floats
    // at `out`. Returns false, converting nothing, when the block is not 1024
    // samples of 8 or 16 bits.
    static bool ConvertBlock(const uint8_t* data, uint32_t length, float* out);
    // Writes the talk-back record of one packet at `out`, which must have room
    // for kRecordHeaderSize + size bytes. Returns the record's size.
    static uint32_t WriteRecord(uint8_t* out, uint32_t sequence, const uint8_t* packet, uint32_t size);

private:
    void ThreadMain();
    bool StopRequested();

    NamedMutex m_exitMutex{"HandleExit"};
    uint8_t m_stop = 1; // guarded by m_exitMutex
    std::atomic<FrameBufferList*> m_inputQueue{nullptr};
    std::unique_ptr<FrameBufferList> m_inputQueueOwner;
    AVModel* m_sink = nullptr;
    NamedMutex m_mutex{"HandleEncoder"};
    std::thread m_thread;
    std::thread::id m_threadId;
};
