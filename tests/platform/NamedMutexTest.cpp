#include "platform/NamedMutex.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

// One object holds the lock "held"; another object tries a name, on this
// thread or another.
TEST(NamedMutex, ANameIsOneRecursiveLockForEveryObjectThatOpensIt) {
    const struct {
        const char* name;
        const char* tried;
        bool otherThread;
        bool got;
    } cases[] = {
        {"SameNameOnAnotherThreadIsHeld", "held", true, false},
        {"OtherNameIsFree", "other", true, true},
        {"SameNameIsRecursiveForItsOwner", "held", false, true},
    };
    for (const auto& c : cases) {
        NamedMutex first("held");
        NamedMutex second(c.tried);
        std::lock_guard<NamedMutex> held(first);
        auto tryLock = [&] {
            bool got = second.try_lock();
            if (got)
                second.unlock();
            return got;
        };
        EXPECT_EQ(c.otherThread ? std::async(std::launch::async, tryLock).get() : tryLock(), c.got) << c.name;
    }
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
