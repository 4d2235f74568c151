#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Checks the talk-back records a client sends in its IOCTRL 850 batches and
// appends each AAC frame to an ADTS file. A record is: sequence number (u32),
// L = AAC frame length + 7 (u32), the 7-byte ADTS header for L, the frame.
// Faults (a sequence gap, a wrong header, a length that runs past the batch)
// are reported and never fatal: the writer resynchronises on the next record
// or the next batch.
class TalkbackWriter {
public:
    TalkbackWriter() = default;
    ~TalkbackWriter();
    TalkbackWriter(const TalkbackWriter&) = delete;
    TalkbackWriter& operator=(const TalkbackWriter&) = delete;

    bool Open(const std::string& path);
    void Close();
    // Checks and saves one batch; returns the faults found, described in faults.
    int AddBatch(const uint8_t* data, size_t length, std::vector<std::string>& faults);
    int GetRecords() const { return m_records; }
    const std::string& GetPath() const { return m_path; }

    // The 7 header bytes a record of length L must carry.
    static void ExpectedHeader(uint32_t L, uint8_t header[7]);

private:
    FILE* m_file = nullptr;
    std::string m_path;
    uint32_t m_expected = 1;
    int m_records = 0;
};
