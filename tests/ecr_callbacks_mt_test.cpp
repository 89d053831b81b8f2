// Registering a callback never overlaps a callback that is being invoked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "VarkoClass2017/VarkoClass2017.h"

namespace {

std::atomic<unsigned long> g_seen{0};
void first_callback(unsigned long r) { g_seen = r; }
void second_callback(unsigned long r) { g_seen = r + 100; }

TEST(EcrCallbacks, RegistrationWaitsForARunningCallback)
{
    destroy_object(create_object());
    CVarkoClass2017* ecr = create_object();
    OnTrxComplete(first_callback);

    std::atomic<bool> registered{false};
    std::thread other;
    {
        // The worker holds the lock while the callback runs.
        std::unique_lock<std::mutex> lock(ecr->m_CallbackLock);
        other = std::thread([&] {
            OnTrxComplete(second_callback);
            registered = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_FALSE(registered.load());
        ecr->m_OnTrxComplete(1);
        EXPECT_EQ(g_seen.load(), 1u);
    }
    other.join();
    EXPECT_TRUE(registered.load());
    {
        std::lock_guard<std::mutex> lock(ecr->m_CallbackLock);
        ecr->m_OnTrxComplete(2);
    }
    EXPECT_EQ(g_seen.load(), 102u);
    destroy_object(ecr);
}

TEST(EcrCallbacks, StateWordIsReadWhileAnotherThreadWritesIt)
{
    destroy_object(create_object());
    CVarkoClass2017* ecr = create_object();
    std::thread writer([&] {
        for (unsigned int i = 1; i <= 2000; ++i)
            ecr->m_State = i;
    });
    int last = 0;
    for (int i = 0; i < 2000; ++i) {
        const int now = OnTRX();
        EXPECT_GE(now, last);  // the writer only counts up
        last = now;
    }
    writer.join();
    EXPECT_EQ(OnTRX(), 2000);
    destroy_object(ecr);
}

}  // namespace
