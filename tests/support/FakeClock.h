#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

// A tick source and sleep for a thread that paces itself (VideoRender::SetClock):
// a sleep moves the tick on by its length at once, so paced pictures are drawn
// without waiting in real time. Halted, the tick stands still and each sleep
// lasts a real millisecond, so a pacing wait never ends by itself.
class FakeClock {
public:
    std::atomic<uint32_t> now{5000};
    std::atomic<bool> halted{false};
    std::atomic<int> sleeps{0};

    std::function<uint32_t()> Tick() {
        return [this] { return now.load(); };
    }
    std::function<void(uint32_t)> Sleep() {
        return [this](uint32_t ms) {
            ++sleeps;
            if (halted)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            else
                now += ms;
        };
    }
};
