// A pipe's mailbox and lock on their own (no device behind the pipe: its writes go nowhere),
// with the port's receive thread played by test threads.
#include "device/manager/GestVekPipe.h"

#include "tests/device/link/IlvRecord.h"
#include "tests/device/link/SimLinkSupport.h"
#include "device/manager/GestVekRecords.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <thread>

using tulvo_test::CTraceCapture;

namespace {

const uint32_t LONG_WAIT_MS = 30000;

class PipeMailbox : public ::testing::Test {
protected:
    void SetUp() override {
        m_x_Dir.Enter();
        m_px_Log.reset(new CTraceCapture);
    }
    void TearDown() override {
        m_x_Pipe.Stop();
        if (HasFailure()) {
            printf("---- trace log\n%s", CTraceCapture::Text().c_str());
        }
        m_px_Log.reset();
        m_x_Dir.Leave();
    }
    // What the receive thread hands over: a heap copy the pipe takes ownership of.
    int32_t Deposit(uint16_t i_us_Id) {
        const std::vector<uint8_t> l_x_Record = tulvo_test::IlvRecord(i_us_Id, {1, 2, 3});
        uint8_t* l_puc_Frame = static_cast<uint8_t*>(malloc(l_x_Record.size()));
        memcpy(l_puc_Frame, l_x_Record.data(), l_x_Record.size());
        return m_x_Pipe.SetReadEvent(l_puc_Frame, static_cast<uint32_t>(l_x_Record.size()));
    }
    // The identifier of the next frame read, or the failure status.
    int32_t ReadId(uint32_t i_ul_Timeout = LONG_WAIT_MS) {
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        int32_t l_i_Status = m_x_Pipe.ReadFrame(i_ul_Timeout, &l_puc_Frame, &l_ul_Length, nullptr);
        if (l_puc_Frame != nullptr) {
            l_i_Status = l_i_Status == TULVO_OK ? GestVek_FrameIdentifier(l_puc_Frame, l_ul_Length)
                                                : l_i_Status;
            m_x_Pipe.FreeReadFrame(&l_puc_Frame);
            EXPECT_EQ(nullptr, l_puc_Frame);
        }
        return l_i_Status;
    }

    tulvo_test::CTempDir m_x_Dir;
    std::unique_ptr<CTraceCapture> m_px_Log;
    CGestVek_Pipe m_x_Pipe{nullptr, 1, "SN"};
};

TEST_F(PipeMailbox, SecondFrameWaitsForTheReaderAndReplacesTheFirstWhenTheReaderIsLate) {
    ASSERT_EQ(TULVO_OK, Deposit(0x0A01));
    std::thread l_x_Receiver([&] { EXPECT_EQ(TULVO_OK, Deposit(0x0A02)); });
    const int32_t l_i_First = ReadId();
    l_x_Receiver.join();
    // A reader slower than the deposit's 1000 ms has lost the first frame, after that wait.
    if (l_i_First == 0x0A01) {
        EXPECT_EQ(0x0A02, ReadId());
    } else {
        EXPECT_EQ(
            1, CTraceCapture::Count("WAIT_TIMEOUT\nCGestVek_Pipe::SetReadEvent : I=0x0A01 loss"));
    }
    CTraceCapture::Clear();

    // Nobody reads: after its 1000 ms the second replaces the first, which is logged as lost
    // (whether a user is left to lose it is the simulator test's).
    ASSERT_EQ(TULVO_OK, Deposit(0x0A03));
    ASSERT_EQ(TULVO_OK, Deposit(0x0A04));
    EXPECT_EQ(
        1, CTraceCapture::Count("CGestVek_Pipe::SetReadEvent: WaitForSingleObject WAIT_TIMEOUT\n"));
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek_Pipe::SetReadEvent : I=0x0A03 loss of 1 read AND "
                                      "LOSS OF user => Crush\n"));
    EXPECT_EQ(0x0A04, ReadId());
}

TEST_F(PipeMailbox, WriteFrameEmptiesTheMailboxSoThatTheReplyIsDepositedAtOnce) {
    ASSERT_EQ(TULVO_OK, Deposit(0x0A01));
    const std::vector<uint8_t> l_x_Request = tulvo_test::IlvRecord(0x0A09);
    // No device behind this pipe: the write itself fails, the discard has happened.
    EXPECT_EQ(TULVO_NO_RESPONSE, m_x_Pipe.WriteFrame(100, l_x_Request.data(), 3));
    ASSERT_EQ(TULVO_OK, Deposit(0x0A09));
    EXPECT_EQ(0x0A09, ReadId());
    EXPECT_EQ(0, CTraceCapture::Count("WAIT_TIMEOUT"));
    EXPECT_EQ(0, CTraceCapture::Count("loss of 1 read"));
}

TEST_F(PipeMailbox, StoppedPipeEndsReadersAndDiscardsFrames) {
    EXPECT_EQ(TULVO_OK, ReadId(0));
    EXPECT_EQ(TULVO_TIMEOUT, ReadId(20));
    EXPECT_EQ(1,
              CTraceCapture::Count("CGestVek_Pipe::ReadFrame: WaitForSingleObject WAIT_TIMEOUT\n"));
    PostQuitMessage(0);
    EXPECT_EQ(1, ReadId());
    // A wait that fails is a failure, not a read without a frame.
    HANDLE l_h_Closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(l_h_Closed);
    uint8_t* l_puc_Frame = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TULVO_SYSTEM_ERROR, m_x_Pipe.ReadFrame(100, &l_puc_Frame, &l_ul_Length, l_h_Closed));

    ASSERT_EQ(TULVO_OK, Deposit(0x0A01));
    m_x_Pipe.SetStopEvent();
    EXPECT_EQ(TULVO_ABORTED, ReadId());
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek_Pipe::ReadFrame: WaitForSingleObject STOP\n"));
    ASSERT_EQ(TULVO_OK, Deposit(0x0A02));
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek_Pipe::SetReadEvent: WaitForSingleObject STOP\n"));
    m_x_Pipe.ResetStopEvent();
    // What came while stopped left nothing behind: no frame, and room for the next at once.
    EXPECT_EQ(TULVO_TIMEOUT, ReadId(20));
    ASSERT_EQ(TULVO_OK, Deposit(0x0A03));
    EXPECT_EQ(0x0A03, ReadId());
    EXPECT_EQ(0, CTraceCapture::Count("should not be NULL"));
    EXPECT_EQ(0, CTraceCapture::Count("SetReadEvent: WaitForSingleObject WAIT_TIMEOUT"));

    // A reader without a time-out ends with the pipe's stop.
    ASSERT_EQ(TULVO_OK, Deposit(0x0A04));
    std::thread l_x_Reader([&] {
        EXPECT_EQ(0x0A04, ReadId());
        EXPECT_EQ(TULVO_ABORTED, ReadId(INFINITE));
    });
    ASSERT_TRUE(
        tulvo_test::WaitFor([] { return CTraceCapture::Count("I=0x0A04\n") > 0; }, LONG_WAIT_MS));
    EXPECT_EQ(TULVO_OK, m_x_Pipe.Stop());
    l_x_Reader.join();
}

TEST_F(PipeMailbox, LockBelongsToItsThreadAndIsTakenOverWhenAbandoned) {
    GestVekPipe_ConnectionSlot l_px_Client = &m_x_Dir;
    uint32_t l_ul_Process = 0;
    ULONGLONG l_ull_Since = 0;
    EXPECT_FALSE(m_x_Pipe.GetLockHolder(&l_ul_Process, &l_ull_Since));
    const ULONGLONG l_ull_Before = GetTickCount64();
    ASSERT_EQ(TULVO_OK, m_x_Pipe.GetTheLock(0, &l_px_Client, 11));
    ASSERT_EQ(TULVO_OK, m_x_Pipe.GetTheLock(0, &l_px_Client, 11));
    auto l_x_Other = [&](int32_t i_i_Expected) {
        std::thread([&] {
            EXPECT_EQ(TULVO_SIGNAL_ERROR, m_x_Pipe.ReleaseTheLock());
            EXPECT_EQ(i_i_Expected, m_x_Pipe.GetTheLock(20, &l_px_Client, 99));
            if (i_i_Expected == TULVO_OK) {
                EXPECT_EQ(TULVO_OK, m_x_Pipe.ReleaseTheLock());
            }
        }).join();
    };
    l_x_Other(TULVO_TIMEOUT);
    // Neither the second take nor the other thread's attempts changed the holder.
    ASSERT_TRUE(m_x_Pipe.GetLockHolder(&l_ul_Process, &l_ull_Since));
    EXPECT_EQ(11u, l_ul_Process);
    EXPECT_GE(l_ull_Since, l_ull_Before);
    EXPECT_LE(l_ull_Since, GetTickCount64());
    ASSERT_EQ(TULVO_OK, m_x_Pipe.ReleaseTheLock());
    l_x_Other(TULVO_TIMEOUT);
    EXPECT_TRUE(m_x_Pipe.GetLockHolder(&l_ul_Process, &l_ull_Since));
    ASSERT_EQ(TULVO_OK, m_x_Pipe.ReleaseTheLock());
    EXPECT_FALSE(m_x_Pipe.GetLockHolder(&l_ul_Process, &l_ull_Since));
    l_x_Other(TULVO_OK);
    EXPECT_EQ(1,
              CTraceCapture::Count("CGestVek_Pipe::GetTheLock SN pipe 1 locked by process 11\n"));
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek_Pipe::ReleaseTheLock SN pipe 1 unlocked by "
                                      "process 11 after "));
    EXPECT_EQ(1, CTraceCapture::Count("unlocked by process 99 after "));
    // The mailbox's and the lock's mutex calls are the quiet ones.
    EXPECT_EQ(0, CTraceCapture::Count("TheMutex"));

    // A holder that ends without releasing stays shown until the next taker takes the lock
    // over, which owns it once, so that one release frees it for everybody.
    std::thread([&] { EXPECT_EQ(TULVO_OK, m_x_Pipe.GetTheLock(0, &l_px_Client, 22)); }).join();
    ASSERT_TRUE(m_x_Pipe.GetLockHolder(&l_ul_Process, &l_ull_Since));
    EXPECT_EQ(22u, l_ul_Process);
    ASSERT_EQ(TULVO_OK, m_x_Pipe.GetTheLock(LONG_WAIT_MS, &l_px_Client, 33));
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek_Pipe::GetTheLock SN pipe 1 lock abandoned by "
                                      "process 22 after "));
    EXPECT_EQ(1, CTraceCapture::Count(" ms, taken over by process 33\n"));
    EXPECT_EQ(0, CTraceCapture::Count("locked by process 33"));
    ASSERT_TRUE(m_x_Pipe.GetLockHolder(&l_ul_Process, &l_ull_Since));
    EXPECT_EQ(33u, l_ul_Process);
    ASSERT_EQ(TULVO_OK, m_x_Pipe.ReleaseTheLock());
    EXPECT_FALSE(m_x_Pipe.GetLockHolder(&l_ul_Process, &l_ull_Since));
    l_x_Other(TULVO_OK);
}

TEST_F(PipeMailbox, AWaitForTheLockEndsWhenThePipeStopsAndAStoppedPipeGivesNoLock) {
    GestVekPipe_ConnectionSlot l_px_Client = &m_x_Dir;
    ASSERT_EQ(TULVO_OK, m_x_Pipe.GetTheLock(0, &l_px_Client, 44));
    std::atomic<int32_t> l_i_Waited{1};
    std::thread l_x_Waiter([&] { l_i_Waited = m_x_Pipe.GetTheLock(INFINITE, &l_px_Client, 44); });
    // Whenever the stop comes, before or during the wait, the wait ends with it.
    EXPECT_EQ(TULVO_OK, m_x_Pipe.Stop());
    l_x_Waiter.join();
    EXPECT_EQ(TULVO_ABORTED, l_i_Waited.load());
    ASSERT_EQ(TULVO_OK, m_x_Pipe.ReleaseTheLock());
    std::thread([&] { EXPECT_EQ(TULVO_ABORTED, m_x_Pipe.GetTheLock(0, &l_px_Client, 44)); }).join();
    m_x_Pipe.ResetStopEvent();
    std::thread([&] {
        EXPECT_EQ(TULVO_OK, m_x_Pipe.GetTheLock(0, &l_px_Client, 44));
        EXPECT_EQ(TULVO_OK, m_x_Pipe.ReleaseTheLock());
    }).join();
}

} // namespace
