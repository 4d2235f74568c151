#include "tools/camsim/TalkbackWriter.h"

#include "tools/camsim/AacEncoder.h"

#include <cstring>

namespace {
uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
constexpr uint32_t kMaxAdtsLength = 8191; // 13 bits
} // namespace

TalkbackWriter::~TalkbackWriter() {
    Close();
}

bool TalkbackWriter::Open(const std::string& path) {
    Close();
    m_file = std::fopen(path.c_str(), "wb");
    m_path = path;
    m_expected = 1;
    m_records = 0;
    return m_file != nullptr;
}

void TalkbackWriter::Close() {
    if (m_file != nullptr)
        std::fclose(m_file);
    m_file = nullptr;
}

void TalkbackWriter::ExpectedHeader(uint32_t L, uint8_t header[7]) {
    header[0] = 0xFF;
    header[1] = 0xF9;
    header[2] = 0x6C;
    header[3] = static_cast<uint8_t>(0x40 | ((L >> 11) & 3));
    header[4] = static_cast<uint8_t>((L >> 3) & 0xFF);
    header[5] = static_cast<uint8_t>(((L & 7) << 5) | 0x1F);
    header[6] = 0x01;
}

int TalkbackWriter::AddBatch(const uint8_t* data, size_t length, std::vector<std::string>& faults) {
    int found = 0;
    size_t pos = 0;
    while (pos < length) {
        size_t left = length - pos;
        if (left < 15) {
            faults.push_back("truncated record of " + std::to_string(left) + " bytes at the end of the batch");
            return found + 1;
        }
        uint32_t sequence = ReadU32(data + pos);
        uint32_t L = ReadU32(data + pos + 4);
        if (L < 8 || L > kMaxAdtsLength || L - 7 > left - 15) {
            faults.push_back("record " + std::to_string(sequence) + ": length " + std::to_string(L) +
                             " does not fit the batch (" + std::to_string(left - 15) + " bytes left)");
            return found + 1;
        }
        if (sequence != m_expected) {
            faults.push_back("record " + std::to_string(sequence) + ": expected sequence " +
                             std::to_string(m_expected));
            ++found;
        }
        m_expected = sequence + 1;
        uint8_t expected[7];
        ExpectedHeader(L, expected);
        if (std::memcmp(expected, data + pos + 8, 7) != 0) {
            faults.push_back("record " + std::to_string(sequence) + ": header bytes do not match length " +
                             std::to_string(L));
            ++found;
        }
        // The file gets a standard header (one raw data block, full buffer).
        uint8_t header[7];
        AacEncoder::MakeAdtsHeader(L, header);
        if (m_file != nullptr) {
            std::fwrite(header, 1, 7, m_file);
            std::fwrite(data + pos + 15, 1, L - 7, m_file);
            std::fflush(m_file);
        }
        ++m_records;
        pos += 15 + (L - 7);
    }
    return found;
}
