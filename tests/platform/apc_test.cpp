// Conformance of queued calls (APCs) and alertable waits.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

using namespace rvsys::platform;
namespace pf = rvsys::platform;

namespace {

std::mutex gLogLock;
std::vector<int> gLog;

void RVSYS_WINAPI Record(ULONG_PTR value) {
    std::lock_guard<std::mutex> guard(gLogLock);
    gLog.push_back(static_cast<int>(value));
}

std::vector<int> TakeLog() {
    std::lock_guard<std::mutex> guard(gLogLock);
    std::vector<int> log;
    log.swap(gLog);
    return log;
}

HANDLE gEventToSignal = nullptr;
void RVSYS_WINAPI SignalEvent(ULONG_PTR value) {
    Record(value);
    pf::SetEvent(gEventToSignal);
}

void RVSYS_WINAPI QueueAnother(ULONG_PTR value) {
    Record(value);
    if (value < 3) pf::QueueUserAPC(QueueAnother, pf::GetCurrentThread(), value + 1);
}

HANDLE DuplicateOwnHandle() {
    HANDLE self = nullptr;
    pf::DuplicateHandle(pf::GetCurrentProcess(), pf::GetCurrentThread(), pf::GetCurrentProcess(), &self, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    return self;
}

class Apc : public testing::Test {
protected:
    void SetUp() override {
        TakeLog();
        event = pf::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        pf::SleepEx(0, TRUE);  // run whatever a failed test left queued
        pf::CloseHandle(event);
    }
    HANDLE event = nullptr;
};

}  // namespace

TEST_F(Apc, SignalledObjectWinsOverPendingCalls) {
    ASSERT_NE(pf::QueueUserAPC(Record, pf::GetCurrentThread(), 1), 0u);
    pf::SetEvent(event);
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 1000, TRUE), WAIT_OBJECT_0);
    EXPECT_TRUE(TakeLog().empty());  // still queued
    EXPECT_EQ(pf::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(TakeLog(), std::vector<int>{1});
}

TEST_F(Apc, AlertableWaitRunsAllPendingCallsInOrderAndReturns192) {
    for (ULONG_PTR i = 1; i <= 3; ++i) ASSERT_NE(pf::QueueUserAPC(Record, pf::GetCurrentThread(), i), 0u);
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(TakeLog(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 0, TRUE), WAIT_TIMEOUT);
}

TEST_F(Apc, CallQueuedByACallRunsInTheSameWait) {
    ASSERT_NE(pf::QueueUserAPC(QueueAnother, pf::GetCurrentThread(), 1), 0u);
    EXPECT_EQ(pf::SleepEx(1000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(TakeLog(), (std::vector<int>{1, 2, 3}));
}

TEST_F(Apc, CallThatSignalsTheAwaitedEventReturns192AndLeavesTheSignal) {
    gEventToSignal = event;
    ASSERT_NE(pf::QueueUserAPC(SignalEvent, pf::GetCurrentThread(), 7), 0u);
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 1000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST_F(Apc, NonAlertableWaitsNeverRunCalls) {
    ASSERT_NE(pf::QueueUserAPC(Record, pf::GetCurrentThread(), 5), 0u);
    EXPECT_EQ(pf::WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    pf::Sleep(5);
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, 5, FALSE), WAIT_TIMEOUT);
    EXPECT_TRUE(TakeLog().empty());
    EXPECT_EQ(pf::SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(TakeLog(), std::vector<int>{5});
}

TEST_F(Apc, CallQueuedFromAnotherThreadEndsABlockedAlertableWait) {
    HANDLE self = DuplicateOwnHandle();
    const long tid = rvsys::test::KernelThreadId();
    std::thread queuer([&] {
        rvsys::test::WaitUntilBlocked(tid);
        pf::QueueUserAPC(Record, self, 9);
    });
    EXPECT_EQ(pf::WaitForSingleObjectEx(event, INFINITE, TRUE), WAIT_IO_COMPLETION);
    queuer.join();
    EXPECT_EQ(TakeLog(), std::vector<int>{9});
    pf::CloseHandle(self);
}

TEST_F(Apc, CallsLeftAtThreadExitAreDroppedAndLaterQueueingFails) {
    HANDLE worker = nullptr;
    std::atomic<bool> queued{false};
    std::thread thread([&] {
        worker = DuplicateOwnHandle();
        pf::QueueUserAPC(Record, pf::GetCurrentThread(), 4);
        queued = true;
    });
    thread.join();
    ASSERT_TRUE(queued.load());
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(pf::WaitForSingleObject(worker, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(TakeLog().empty());
    pf::SetLastError(0);
    EXPECT_EQ(pf::QueueUserAPC(Record, worker, 1), 0u);
    EXPECT_EQ(pf::GetLastError(), ERROR_GEN_FAILURE);
    pf::CloseHandle(worker);
}
