#include "CMutexClass.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CThread.h"

namespace {

// TryLock from a thread that owns nothing, releasing again when it succeeded.
bool freeForOthers(CMutexClass& m) {
    bool acquired = false;
    std::thread([&] {
        acquired = m.TryLock();
        if (acquired)
            m.Unlock();
    }).join();
    return acquired;
}

TEST(CMutexClass, IsCreatedAndFree) {
    CMutexClass m;
    EXPECT_TRUE(m.IsCreated());
    EXPECT_TRUE(freeForOthers(m));
}

TEST(CMutexClass, LockIsExclusive) {
    CMutexClass m;
    m.Lock();
    EXPECT_FALSE(freeForOthers(m));
    m.Unlock();
    EXPECT_TRUE(freeForOthers(m));
}

TEST(CMutexClass, SecondLockByOwnerDoesNotCountAndFirstUnlockReleases) {
    CMutexClass m;
    m.Lock();
    m.Lock(); // would deadlock if it took the lock again
    m.Unlock();
    EXPECT_TRUE(freeForOthers(m));
}

TEST(CMutexClass, UnlockByNonOwnerIsIgnored) {
    CMutexClass m;
    m.Lock();
    std::thread([&] { m.Unlock(); }).join();
    EXPECT_FALSE(freeForOthers(m));
    m.Unlock();
    EXPECT_TRUE(freeForOthers(m));
}

TEST(CMutexClass, TryLockByOwnerSucceedsWithoutCounting) {
    CMutexClass m;
    ASSERT_TRUE(m.TryLock());
    EXPECT_TRUE(m.TryLock());
    EXPECT_FALSE(freeForOthers(m));
    m.Unlock();
    EXPECT_TRUE(freeForOthers(m));
}

TEST(CMutexClass, TryLockRecordsTheOwner) {
    CMutexClass m;
    std::atomic<bool> locked{false}, release{false};
    std::thread holder([&] {
        locked = m.TryLock();
        while (!release)
            std::this_thread::yield();
        m.Unlock();
    });
    while (!locked)
        std::this_thread::yield();
    m.Unlock(); // not the owner: ignored
    EXPECT_FALSE(m.TryLock());
    release = true;
    holder.join();
    EXPECT_TRUE(m.TryLock());
    m.Unlock();
}

TEST(CMutexClass, LockIgnoringOwnerOnOneThreadUnlockIgnoringOwnerOnAnother) {
    CMutexClass m;
    // The locking thread stays alive throughout: a finished thread's handle may be given to the next
    // thread created, which would then pass for the owner.
    std::atomic<bool> locked{false}, finish{false};
    std::thread locker([&] {
        m.LockIgnoringOwner();
        locked = true;
        while (!finish)
            std::this_thread::yield();
    });
    while (!locked)
        std::this_thread::yield();
    EXPECT_FALSE(freeForOthers(m));

    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        m.Lock();
        acquired = true;
        m.Unlock();
    });
    Sleep(50);
    EXPECT_FALSE(acquired) << "Lock returned while another thread held the lock";
    std::thread([&] { m.UnlockIgnoringOwner(); }).join();
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_TRUE(freeForOthers(m));
    finish = true;
    locker.join();
}

TEST(CMutexClass, LockIgnoringOwnerRecordsTheCaller) {
    CMutexClass m;
    m.LockIgnoringOwner();
    EXPECT_TRUE(m.TryLock());
    m.Unlock();
    EXPECT_TRUE(freeForOthers(m));
}

TEST(CMutexClass, UnlockIgnoringOwnerOfAFreeLockKeepsItExclusive) {
    CMutexClass m;
    m.UnlockIgnoringOwner();
    std::atomic<bool> locked{false}, release{false};
    std::thread holder([&] {
        m.Lock();
        locked = true;
        while (!release)
            std::this_thread::yield();
        m.Unlock();
    });
    while (!locked)
        std::this_thread::yield();
    EXPECT_FALSE(freeForOthers(m)) << "a stray release let a second holder in";
    release = true;
    holder.join();
}

TEST(CMutexClass, CopyOfALockedObjectIsFreeAndUnowned) {
    CMutexClass m;
    m.Lock();
    CMutexClass copy(m);
    EXPECT_FALSE(freeForOthers(m));

    std::atomic<bool> locked{false}, release{false};
    std::thread holder([&] {
        locked = copy.TryLock();
        while (!release)
            std::this_thread::yield();
        copy.Unlock();
    });
    while (!locked)
        std::this_thread::yield();
    // Had the owner been copied, this thread would think it held the copy.
    EXPECT_FALSE(copy.TryLock());
    release = true;
    holder.join();
    m.Unlock();
}

TEST(CMutexClass, CopyDoesNotMakeTheCopyingThreadItsOwner) {
    CMutexClass m;
    m.Lock();
    CMutexClass copy(m);
    m.Unlock();
    copy.Lock(); // must really take the copy's lock
    EXPECT_FALSE(freeForOthers(copy));
    copy.Unlock();
    EXPECT_TRUE(freeForOthers(copy));
}

TEST(CMutexClass, CopyAssignmentLeavesTheTargetsLockAlone) {
    CMutexClass source, target;
    target.Lock();
    target = source;
    EXPECT_FALSE(freeForOthers(target));
    target.Unlock();

    source.Lock();
    target = source;
    EXPECT_TRUE(freeForOthers(target));
    source.Unlock();
}

struct Tile : CMutexClass {
    int value = 0;
};

TEST(CMutexClass, DerivedObjectsCopiedIntoAGrowingVectorAreFree) {
    Tile tile;
    tile.value = 7;
    tile.Lock();
    std::vector<Tile> tiles;
    for (int i = 0; i < 20; ++i)
        tiles.push_back(tile); // also copies the earlier elements as the vector grows
    for (Tile& t : tiles) {
        EXPECT_EQ(t.value, 7);
        EXPECT_TRUE(freeForOthers(t));
    }
    tile.Unlock();
}

TEST(CMutexClass, ProtectsACounterAcrossThreads) {
    CMutexClass m;
    long counter = 0;
    constexpr int kThreads = 4, kRounds = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 3 == 0) {
                    while (!m.TryLock())
                        std::this_thread::yield();
                } else {
                    m.Lock();
                }
                ++counter;
                m.Unlock();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

} // namespace
