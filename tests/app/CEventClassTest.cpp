#include "CEventClass.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CThread.h"

namespace {

// Waits up to `limitMs` for `flag`.
bool becomesTrue(const std::atomic<bool>& flag, int limitMs) {
    for (int waited = 0; waited < limitMs && !flag; waited += 5)
        Sleep(5);
    return flag;
}

TEST(CEventClass, IsCreated) {
    CEventClass e;
    EXPECT_TRUE(e.IsCreated());
}

TEST(CEventClass, SetBeforeWaitIsNotLost) {
    CEventClass e;
    e.Set();
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        EXPECT_TRUE(e.Wait());
        e.Reset();
        woke = true;
    });
    const bool wokeInTime = becomesTrue(woke, 5000);
    if (!wokeInTime)
        e.Set(); // release the waiter so the test can end
    waiter.join();
    EXPECT_TRUE(wokeInTime) << "the signal given before Wait was lost";
}

TEST(CEventClass, SetWakesAWaiter) {
    CEventClass e;
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        e.Wait();
        woke = true;
        e.Reset();
    });
    Sleep(20);
    EXPECT_FALSE(woke);
    e.Set();
    waiter.join();
    EXPECT_TRUE(woke);
}

TEST(CEventClass, WaitConsumesTheSignal) {
    CEventClass e;
    e.Set();
    e.Wait();
    e.Reset();
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        e.Wait();
        woke = true;
        e.Reset();
    });
    Sleep(50);
    EXPECT_FALSE(woke) << "one Set released two waits";
    e.Set();
    waiter.join();
    EXPECT_TRUE(woke);
}

TEST(CEventClass, WaitReturnsWithTheMutexHeld) {
    CEventClass e;
    std::atomic<bool> setReturned{false};
    e.Set();
    e.Wait();
    std::thread setter([&] {
        e.Set(); // takes the mutex, so it must wait for Reset
        setReturned = true;
    });
    Sleep(50);
    EXPECT_FALSE(setReturned);
    e.Reset();
    setter.join();
    EXPECT_TRUE(setReturned);
}

} // namespace
