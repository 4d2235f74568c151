#pragma once

#include "session/FrameBufferList.h"
#include "tests/support/TestNet.h"

#include <cstdint>
#include <cstring>
#include <vector>

// Puts one frame into a queue the way a producer does, but waits (at most
// 10 s) for a free buffer instead of dropping the frame. False when none
// came free or the frame does not fit.
inline bool FeedFrame(FrameBufferList& queue, const std::vector<uint8_t>& frame, uint32_t timestamp = 0) {
    FrameBuffer* buf = nullptr;
    if (frame.size() > queue.GetBufferSize() ||
        !testnet::WaitUntil([&] { return (buf = queue.AcquireFree()) != nullptr; }, 10000))
        return false;
    std::memcpy(buf->GetData(), frame.data(), frame.size());
    buf->SetLength(static_cast<uint32_t>(frame.size()));
    buf->SetTimestamp(timestamp);
    queue.MarkReady(buf);
    return true;
}
