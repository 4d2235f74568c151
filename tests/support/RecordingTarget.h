#pragma once

#include "platform/RenderTarget.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

// A render target that keeps what a renderer hands it: each picture's size,
// first pixel, a hash of its pixels and the tick of the call, in order, and
// whether it shows a picture (not cleared since). For renderer tests it can
// refuse its first calls, hold its first call until Release(), and ask for
// pictures of a size of its own.
class RecordingTarget : public RenderTarget {
public:
    struct Draw {
        int width, height;
        uint32_t firstPixel;
        uint64_t hash;
        uint32_t tick;
    };
    std::function<uint32_t()> tick = [] { return 0u; };
    int refuseFirst = 0;    // these first calls return false and keep nothing
    bool holdFirst = false; // the first call waits for Release()
    std::atomic<int> drawWidth{0}, drawHeight{0};

    static uint64_t Hash(const uint32_t* pixels, size_t count) {
        uint64_t hash = 1469598103934665603ull;
        for (size_t i = 0; i < count; ++i)
            hash = (hash ^ pixels[i]) * 1099511628211ull;
        return hash;
    }

    bool DrawPicture(const uint32_t* pixels, int width, int height) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (holdFirst && m_calls == 0)
            m_changed.wait(lock, [this] { return m_released; });
        const bool keep = ++m_calls > refuseFirst;
        if (keep) {
            m_draws.push_back({width, height, pixels[0], Hash(pixels, static_cast<size_t>(width) * height), tick()});
            m_showing = true;
        }
        m_changed.notify_all();
        return keep;
    }
    void ClearPicture() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_showing = false;
    }
    void GetDrawSize(int& width, int& height) const override {
        width = drawWidth.load();
        height = drawHeight.load();
    }

    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    int Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    std::vector<Draw> Draws() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_draws;
    }
    // The size of the last picture kept; 0 x 0 before the first.
    std::pair<int, int> LastSize() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_draws.empty() ? std::pair(0, 0) : std::pair(m_draws.back().width, m_draws.back().height);
    }
    bool Showing() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_showing;
    }
    // Waits at most 30 s until `calls` calls have returned.
    bool WaitCalls(int calls) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_calls >= calls; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_calls = 0;
    bool m_released = false;
    bool m_showing = false;
    std::vector<Draw> m_draws;
};
