#include "NamedMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

TEST(NamedMutex, SameNameIsOneLockAcrossObjectsAndThreads) {
    NamedMutex first("test shared lock");
    NamedMutex second("test shared lock");
    std::lock_guard<NamedMutex> held(first);

    auto other = std::async(std::launch::async, [&] { return second.try_lock(); });
    EXPECT_FALSE(other.get());
}

TEST(NamedMutex, DifferentNamesAreDifferentLocks) {
    NamedMutex first("test lock a");
    NamedMutex second("test lock b");
    std::lock_guard<NamedMutex> held(first);

    auto other = std::async(std::launch::async, [&] {
        bool got = second.try_lock();
        if (got)
            second.unlock();
        return got;
    });
    EXPECT_TRUE(other.get());
}

TEST(NamedMutex, RecursiveForTheOwningThread) {
    NamedMutex outer("test recursive");
    NamedMutex inner("test recursive");
    std::lock_guard<NamedMutex> a(outer);
    ASSERT_TRUE(inner.try_lock());
    inner.unlock();
}

TEST(NamedMutex, SerialisesIncrementsFromManyThreads) {
    int counter = 0; // guarded only by the named lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&counter] {
            NamedMutex lock("test counter");
            for (int i = 0; i < 10000; ++i) {
                std::lock_guard<NamedMutex> guard(lock);
                ++counter;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 40000);
}
