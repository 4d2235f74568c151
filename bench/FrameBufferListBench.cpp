// One producer and one consumer hand frames over through a FrameBufferList,
// as a receive thread and a decode thread do. Prints frames per second.
#include "session/FrameBufferList.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

static void HandOver(benchmark::State& state) {
    const auto frameSize = static_cast<uint32_t>(state.range(0));
    const auto frames = static_cast<uint32_t>(state.range(1));
    std::vector<uint8_t> source(frameSize, 0x5a);

    for (auto _ : state) {
        FrameBufferList list(15, 48000);
        std::atomic<uint32_t> received{0};
        std::thread consumer([&] {
            uint32_t sum = 0;
            while (received.load(std::memory_order_relaxed) < frames) {
                FrameBuffer* buf = list.TakeReady();
                if (!buf) {
                    std::this_thread::yield();
                    continue;
                }
                sum += buf->GetData()[buf->GetLength() - 1];
                list.Recycle(buf);
                received.fetch_add(1, std::memory_order_relaxed);
            }
            benchmark::DoNotOptimize(sum);
        });
        for (uint32_t sent = 0; sent < frames;) {
            FrameBuffer* buf = list.AcquireFree();
            if (!buf) {
                std::this_thread::yield();
                continue;
            }
            buf->SetLength(frameSize);
            buf->SetTimestamp(sent);
            std::memcpy(buf->GetData(), source.data(), frameSize);
            list.MarkReady(buf);
            ++sent;
        }
        consumer.join();
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames) * state.iterations(), benchmark::Counter::kIsRate);
}

// Frame sizes: a typical 640x360 P-frame, a large 1280x720 frame, a full buffer.
BENCHMARK(HandOver)->Args({4000, 20000})->Args({20000, 20000})->Args({48000, 20000})->UseRealTime();

BENCHMARK_MAIN();
