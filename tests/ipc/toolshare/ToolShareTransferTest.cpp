// Message transfer within one process: both ends of a named channel, or one end against a
// hand-written peer that follows the section layout and the event hand-shake byte by byte.
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "tests/ipc/toolshare/ToolShareTestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <string.h>
#include <thread>

using namespace tstest;

namespace {

const uint32_t SMALL_SECTION = 4096;

using tulvo_test::GetBe32;
using tulvo_test::PutBe32;

bool IsSignalled(HANDLE i_h_Event) {
    return WaitForSingleObject(i_h_Event, 0) == WAIT_OBJECT_0;
}

// Service and client ends of one named channel in this process.
class ChannelTest : public ::testing::Test {
protected:
    void Open(uint32_t i_ul_SectionSize) {
        m_x_Name = UniqueBaseName("tr");
        m_x_Param = {m_x_Name.c_str(), i_ul_SectionSize};
        ASSERT_EQ(TULVO_OK, ToolShareSrv_PublicListen(&m_x_Param, &m_x_Service));
        ASSERT_EQ(TULVO_OK, ToolShareClt_PublicConnect(&m_x_Param, &m_x_Client));
        m_puc_View = static_cast<uint8_t*>(
            MapViewOfFile(m_x_Service.m_h_Section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_NE(nullptr, m_puc_View);
    }
    void SetUp() override { Open(SMALL_SECTION); }
    void TearDown() override {
        if (m_puc_View != nullptr) {
            UnmapViewOfFile(m_puc_View);
        }
        ToolShare_Close(&m_x_Client);
        ToolShareSrv_Close(&m_x_Service);
    }
    // Hand-written reader of one chunk at the service end: waits for Recv and checks it.
    void WaitForChunk() {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_x_Service.m_h_Incoming, WAIT_LIMIT_MS));
    }
    void Acknowledge() {
        ResetEvent(m_x_Service.m_h_Incoming);
        SetEvent(m_x_Service.m_h_Outgoing);
    }

    std::string m_x_Name;
    ToolShare_Param m_x_Param{};
    ToolShare_Channel m_x_Service{};
    ToolShare_Channel m_x_Client{};
    uint8_t* m_puc_View = nullptr;
};

TEST_F(ChannelTest, SectionStartsWithItsSizeBigEndian) {
    EXPECT_EQ(SMALL_SECTION, GetBe32(m_puc_View));
    EXPECT_EQ(SMALL_SECTION, m_x_Client.m_ul_SectionSize);
}

TEST_F(ChannelTest, MessageOfSectionSizeLessEightTravelsInOneChunk) {
    std::vector<uint8_t> l_x_Message = Pattern(SMALL_SECTION - 8, 1);
    // One chunk: the writer returns without waiting for any acknowledgement.
    ASSERT_EQ(TULVO_OK, WriteMessage(&m_x_Client, l_x_Message, nullptr, WAIT_LIMIT_MS));
    ASSERT_TRUE(IsSignalled(m_x_Service.m_h_Incoming));
    EXPECT_EQ(SMALL_SECTION - 8, GetBe32(m_puc_View + 4));
    EXPECT_EQ(0, memcmp(m_puc_View + 8, l_x_Message.data(), l_x_Message.size()));

    std::vector<uint8_t> l_x_Read;
    ASSERT_EQ(TULVO_OK, ReadMessage(&m_x_Service, &l_x_Read, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(l_x_Message, l_x_Read);
    // Consumed: zeroed in the section and the channel idle.
    EXPECT_EQ(std::vector<uint8_t>(SMALL_SECTION - 8, 0),
              std::vector<uint8_t>(m_puc_View + 8, m_puc_View + SMALL_SECTION));
    EXPECT_FALSE(IsSignalled(m_x_Service.m_h_Incoming));
    EXPECT_FALSE(IsSignalled(m_x_Service.m_h_Outgoing));
}

TEST_F(ChannelTest, OneByteMoreNeedsASecondChunkAtOffsetFour) {
    std::vector<uint8_t> l_x_Message = Pattern(SMALL_SECTION - 7, 2);
    auto l_x_Writer = std::async(std::launch::async, [&] {
        return WriteMessage(&m_x_Client, l_x_Message, nullptr, WAIT_LIMIT_MS);
    });
    WaitForChunk();
    EXPECT_EQ(SMALL_SECTION - 7, GetBe32(m_puc_View + 4));
    EXPECT_EQ(0, memcmp(m_puc_View + 8, l_x_Message.data(), SMALL_SECTION - 8));
    Acknowledge();
    WaitForChunk();
    EXPECT_EQ(l_x_Message.back(), m_puc_View[4]);
    EXPECT_EQ(TULVO_OK, l_x_Writer.get());
    EXPECT_TRUE(IsSignalled(m_x_Service.m_h_Incoming));
}

TEST_F(ChannelTest, ReaderAcknowledgesEachChunkAndAssemblesTheMessage) {
    // A hand-written writer: three chunks, each waiting for the reader's acknowledgement.
    std::vector<uint8_t> l_x_Message = Pattern(2 * (SMALL_SECTION - 4) + 100, 3);
    auto l_x_Reader = std::async(std::launch::async, [&] {
        std::vector<uint8_t> l_x_Read;
        int32_t l_i_Status = ReadMessage(&m_x_Service, &l_x_Read, nullptr, WAIT_LIMIT_MS);
        return std::make_pair(l_i_Status, l_x_Read);
    });
    HANDLE l_h_Recv = m_x_Client.m_h_Outgoing;
    HANDLE l_h_Send = m_x_Client.m_h_Incoming;
    PutBe32(m_puc_View + 4, static_cast<uint32_t>(l_x_Message.size()));
    memcpy(m_puc_View + 8, l_x_Message.data(), SMALL_SECTION - 8);
    size_t l_ul_Done = SMALL_SECTION - 8;
    SetEvent(l_h_Recv);
    while (l_ul_Done < l_x_Message.size()) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(l_h_Send, WAIT_LIMIT_MS));
        // The reader has taken the chunk: its data event is already clear.
        EXPECT_FALSE(IsSignalled(l_h_Recv));
        ResetEvent(l_h_Send);
        size_t l_ul_Chunk = std::min<size_t>(l_x_Message.size() - l_ul_Done, SMALL_SECTION - 4);
        memcpy(m_puc_View + 4, l_x_Message.data() + l_ul_Done, l_ul_Chunk);
        l_ul_Done += l_ul_Chunk;
        SetEvent(l_h_Recv);
    }
    auto l_x_Result = l_x_Reader.get();
    EXPECT_EQ(TULVO_OK, l_x_Result.first);
    EXPECT_EQ(l_x_Message, l_x_Result.second);
    EXPECT_FALSE(IsSignalled(l_h_Recv));
}

TEST_F(ChannelTest, AGrowingReadAssemblesTheChunksAndCutsATrickleOffAtItsDeadline) {
    const std::vector<uint8_t> l_x_Message = Pattern(2 * (SMALL_SECTION - 4) + 100, 5);
    auto l_x_Writer = std::async(std::launch::async, [&] {
        return WriteMessage(&m_x_Client, l_x_Message, nullptr, WAIT_LIMIT_MS);
    });
    uint32_t l_ul_Length = 0;
    uint8_t* l_puc_Data = nullptr;
    ASSERT_EQ(TULVO_OK, ToolShare_ReadLenData(&m_x_Service, &l_ul_Length, nullptr, WAIT_LIMIT_MS));
    ASSERT_EQ(TULVO_OK, ToolShare_ReadDataAlloc(&m_x_Service, l_ul_Length, &l_puc_Data, nullptr,
                                                WAIT_LIMIT_MS, WAIT_LIMIT_MS));
    EXPECT_EQ(l_x_Message, std::vector<uint8_t>(l_puc_Data, l_puc_Data + l_ul_Length));
    free(l_puc_Data);
    EXPECT_EQ(TULVO_OK, l_x_Writer.get());
    // A writer that sends one chunk every 100 ms, far within a chunk's time-out, would take
    // four seconds: the read gives up at its deadline for the whole message.
    std::thread l_x_Trickle([&] {
        PutBe32(m_puc_View + 4, 40 * (SMALL_SECTION - 4));
        SetEvent(m_x_Client.m_h_Outgoing);
        while (WaitForSingleObject(m_x_Client.m_h_Incoming, 1000) == WAIT_OBJECT_0) {
            ResetEvent(m_x_Client.m_h_Incoming);
            Sleep(100);
            SetEvent(m_x_Client.m_h_Outgoing);
        }
    });
    ASSERT_EQ(TULVO_OK, ToolShare_ReadLenData(&m_x_Service, &l_ul_Length, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_TS_TIMEOUT, ToolShare_ReadDataAlloc(&m_x_Service, l_ul_Length, &l_puc_Data,
                                                        nullptr, WAIT_LIMIT_MS, 500));
    EXPECT_EQ(nullptr, l_puc_Data);
    l_x_Trickle.join();
}

TEST_F(ChannelTest, EmptyMessageIsALengthWordOfZero) {
    ASSERT_EQ(TULVO_OK, ToolShare_WriteLenDataAndData(&m_x_Client, nullptr, 0, nullptr, 0));
    EXPECT_EQ(0u, GetBe32(m_puc_View + 4));
    ASSERT_EQ(TULVO_OK, ToolShare_WaitData(&m_x_Service, nullptr, WAIT_LIMIT_MS));
    uint32_t l_ul_Length = 99;
    ASSERT_EQ(TULVO_OK, ToolShare_ReadLenData(&m_x_Service, &l_ul_Length, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(0u, l_ul_Length);
    EXPECT_EQ(TULVO_OK, ToolShare_ReadData(&m_x_Service, nullptr, 0, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_TS_TIMEOUT, ToolShare_WaitData(&m_x_Service, nullptr, 0));
}

TEST_F(ChannelTest, RequestAndResponseInBothDirectionsAcrossManyChunks) {
    for (uint32_t l_ul_Round = 0; l_ul_Round < 3; ++l_ul_Round) {
        std::vector<uint8_t> l_x_Request = Pattern(10 * SMALL_SECTION + l_ul_Round, l_ul_Round);
        std::vector<uint8_t> l_x_Response = Pattern(7 * SMALL_SECTION - l_ul_Round, 50);
        auto l_x_Server = std::async(std::launch::async, [&] {
            std::vector<uint8_t> l_x_Read;
            int32_t l_i_Status = ReadMessage(&m_x_Service, &l_x_Read, nullptr, WAIT_LIMIT_MS);
            if (l_i_Status == TULVO_OK) {
                l_i_Status = l_x_Read == l_x_Request ? TULVO_OK : TULVO_BAD_IPC_FORMAT;
            }
            if (l_i_Status == TULVO_OK) {
                l_i_Status = WriteMessage(&m_x_Service, l_x_Response, nullptr, WAIT_LIMIT_MS);
            }
            return l_i_Status;
        });
        ASSERT_EQ(TULVO_OK, WriteMessage(&m_x_Client, l_x_Request, nullptr, WAIT_LIMIT_MS));
        std::vector<uint8_t> l_x_Read;
        ASSERT_EQ(TULVO_OK, ReadMessage(&m_x_Client, &l_x_Read, nullptr, WAIT_LIMIT_MS));
        EXPECT_EQ(l_x_Response, l_x_Read);
        EXPECT_EQ(TULVO_OK, l_x_Server.get());
    }
}

TEST_F(ChannelTest, AbsurdLengthWordIsRefusedAndTheReaderGoesOn) {
    // A hostile writer announces almost 4 GiB and sends nothing more.
    PutBe32(m_puc_View + 4, 0xFFFFFFF0u);
    SetEvent(m_x_Client.m_h_Outgoing);
    ASSERT_EQ(TULVO_OK, ToolShare_WaitData(&m_x_Service, nullptr, WAIT_LIMIT_MS));
    uint32_t l_ul_Length = 1;
    EXPECT_EQ(TULVO_TS_CHANNEL_ERROR,
              ToolShare_ReadLenData(&m_x_Service, &l_ul_Length, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(0u, l_ul_Length);
    EXPECT_EQ(TULVO_TS_TIMEOUT, ToolShare_WaitData(&m_x_Service, nullptr, 0));

    // The largest accepted length passes; the next honest message is read as usual.
    PutBe32(m_puc_View + 4, TOOLSHARE_MAX_MESSAGE_LENGTH);
    SetEvent(m_x_Client.m_h_Outgoing);
    EXPECT_EQ(TULVO_OK, ToolShare_ReadLenData(&m_x_Service, &l_ul_Length, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(TOOLSHARE_MAX_MESSAGE_LENGTH, l_ul_Length);
    std::vector<uint8_t> l_x_Message = TextBytes("after the hostile one");
    ASSERT_EQ(TULVO_OK, WriteMessage(&m_x_Client, l_x_Message, nullptr, WAIT_LIMIT_MS));
    std::vector<uint8_t> l_x_Read;
    ASSERT_EQ(TULVO_OK, ReadMessage(&m_x_Service, &l_x_Read, nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(l_x_Message, l_x_Read);
}

TEST_F(ChannelTest, StaleSignalsOfAnInterruptedTransferAreClearedByTheNextWriter) {
    // A response nobody read (its reader gave up) must not pass for the next one.
    SetEvent(m_x_Client.m_h_Incoming);
    SetEvent(m_x_Client.m_h_Outgoing);
    ASSERT_EQ(TULVO_OK, WriteMessage(&m_x_Client, TextBytes("req"), nullptr, WAIT_LIMIT_MS));
    EXPECT_FALSE(IsSignalled(m_x_Client.m_h_Incoming));
    EXPECT_TRUE(IsSignalled(m_x_Client.m_h_Outgoing));
    EXPECT_EQ(TULVO_TS_TIMEOUT, ToolShare_WaitData(&m_x_Client, nullptr, 0));
}

TEST_F(ChannelTest, WriterTimesOutWithoutAcknowledgementAndWithdrawsItsChunk) {
    std::vector<uint8_t> l_x_Message = Pattern(SMALL_SECTION * 2, 4);
    EXPECT_EQ(TULVO_TS_TIMEOUT, WriteMessage(&m_x_Client, l_x_Message, nullptr, 50));
    EXPECT_FALSE(IsSignalled(m_x_Service.m_h_Incoming));
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TULVO_TS_TIMEOUT, ToolShare_ReadLenData(&m_x_Service, &l_ul_Length, nullptr, 50));
}

TEST_F(ChannelTest, RunningResetFailsTheNextChunkAtBothEnds) {
    // Writer side: a hand-written reader resets Running before acknowledging chunk one.
    std::vector<uint8_t> l_x_Message = Pattern(SMALL_SECTION * 2, 5);
    auto l_x_Writer = std::async(std::launch::async, [&] {
        return WriteMessage(&m_x_Client, l_x_Message, nullptr, WAIT_LIMIT_MS);
    });
    WaitForChunk();
    ResetEvent(m_x_Service.m_h_Running);
    Acknowledge();
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, l_x_Writer.get());

    // Reader side: a hand-written writer resets Running after chunk two.
    SetEvent(m_x_Service.m_h_Running);
    ResetEvent(m_x_Service.m_h_Incoming);
    ResetEvent(m_x_Service.m_h_Outgoing);
    auto l_x_Reader = std::async(std::launch::async, [&] {
        std::vector<uint8_t> l_x_Read;
        return ReadMessage(&m_x_Service, &l_x_Read, nullptr, WAIT_LIMIT_MS);
    });
    WriteFirstChunkOnly(&m_x_Client, SMALL_SECTION * 3);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_x_Client.m_h_Incoming, WAIT_LIMIT_MS));
    ResetEvent(m_x_Client.m_h_Incoming);
    ResetEvent(m_x_Service.m_h_Running);
    SetEvent(m_x_Client.m_h_Outgoing); // chunk two
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, l_x_Reader.get());

    // And every later start, at both ends.
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, ToolShare_WaitData(&m_x_Client, nullptr, 0));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING,
              ToolShare_ReadLenData(&m_x_Service, &l_ul_Length, nullptr, 0));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING,
              WriteMessage(&m_x_Service, TextBytes("x"), nullptr, WAIT_LIMIT_MS));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, ToolShareClt_ServerOK(&m_x_Client));

    // But a message announced before the reset stays for a read once Running is back.
    SetEvent(m_x_Service.m_h_Running);
    ASSERT_EQ(TULVO_OK, WriteMessage(&m_x_Service, TextBytes("late"), nullptr, WAIT_LIMIT_MS));
    ASSERT_EQ(TULVO_OK, ToolShare_ReadLenData(&m_x_Client, &l_ul_Length, nullptr, 0));
    ResetEvent(m_x_Service.m_h_Running);
    std::vector<uint8_t> l_x_Late(4, 0);
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING,
              ToolShare_ReadData(&m_x_Client, l_x_Late.data(), 4, nullptr, 0));
    SetEvent(m_x_Service.m_h_Running);
    EXPECT_EQ(TULVO_OK, ReadMessage(&m_x_Client, &l_x_Late, nullptr, 0));
    EXPECT_EQ(TextBytes("late"), l_x_Late);
}

TEST_F(ChannelTest, CancelEventEndsTheCurrentWaitAndEveryLaterOne) {
    HANDLE l_h_Cancel = nullptr;
    ASSERT_EQ(TULVO_OK, ToolShare_InitializeWaitEvent(&l_h_Cancel));
    auto l_x_Waiter = std::async(
        std::launch::async, [&] { return ToolShare_WaitData(&m_x_Service, l_h_Cancel, INFINITE); });
    ASSERT_EQ(TULVO_OK, ToolShare_CancelWaitData(l_h_Cancel));
    EXPECT_EQ(TULVO_TS_PEER_LOST, l_x_Waiter.get());

    uint32_t l_ul_Length = 0;
    uint8_t l_auc_Buffer[8];
    EXPECT_EQ(TULVO_TS_PEER_LOST, ToolShare_WaitData(&m_x_Service, l_h_Cancel, INFINITE));
    EXPECT_EQ(TULVO_TS_PEER_LOST,
              ToolShare_ReadLenData(&m_x_Service, &l_ul_Length, l_h_Cancel, INFINITE));
    EXPECT_EQ(TULVO_TS_PEER_LOST,
              ToolShare_ReadData(&m_x_Service, l_auc_Buffer, 8, l_h_Cancel, INFINITE));
    EXPECT_EQ(TULVO_TS_PEER_LOST, WriteMessage(&m_x_Service, TextBytes("x"), l_h_Cancel, INFINITE));
    // A multi-chunk writer waiting for its acknowledgement.
    std::vector<uint8_t> l_x_Big = Pattern(SMALL_SECTION * 2, 6);
    HANDLE l_h_Cancel2 = nullptr;
    ASSERT_EQ(TULVO_OK, ToolShare_InitializeWaitEvent(&l_h_Cancel2));
    auto l_x_Writer = std::async(std::launch::async, [&] {
        return WriteMessage(&m_x_Client, l_x_Big, l_h_Cancel2, INFINITE);
    });
    WaitForChunk();
    ToolShare_CancelWaitData(l_h_Cancel2);
    EXPECT_EQ(TULVO_TS_PEER_LOST, l_x_Writer.get());

    EXPECT_EQ(TULVO_OK, ToolShare_CloseWaitEvent(&l_h_Cancel));
    EXPECT_EQ(nullptr, l_h_Cancel);
    ToolShare_CloseWaitEvent(&l_h_Cancel2);
    EXPECT_EQ(TULVO_TS_CHANNEL_ERROR, ToolShare_CancelWaitData(nullptr));
}

TEST_F(ChannelTest, QuitMessageEndsTheWaitWithOneAndIsConsumed) {
    std::promise<DWORD> l_x_ThreadId;
    auto l_x_Waiter = std::async(std::launch::async, [&] {
        l_x_ThreadId.set_value(GetCurrentThreadId());
        int32_t l_i_Status = ToolShare_WaitData(&m_x_Service, nullptr, INFINITE);
        MSG l_x_Message;
        bool l_b_Left = PeekMessageA(&l_x_Message, nullptr, 0, 0, PM_REMOVE) != FALSE;
        return std::make_pair(l_i_Status, l_b_Left);
    });
    DWORD l_ul_ThreadId = l_x_ThreadId.get_future().get();
    // The thread has a message queue once it waits; until then posting fails.
    DWORD l_ul_Start = GetTickCount();
    while (!PostThreadMessageA(l_ul_ThreadId, WM_USER + 1, 0, 0)) {
        ASSERT_LT(GetTickCount() - l_ul_Start, WAIT_LIMIT_MS);
        Sleep(5);
    }
    ASSERT_TRUE(PostThreadMessageA(l_ul_ThreadId, WM_QUIT, 0, 0));
    auto l_x_Result = l_x_Waiter.get();
    EXPECT_EQ(1, l_x_Result.first);
    EXPECT_FALSE(l_x_Result.second);
}

TEST_F(ChannelTest, TimeOutStillExpiresWhileMessagesAreDispatched) {
    std::promise<DWORD> l_x_ThreadId;
    std::promise<void> l_x_PostingStopped;
    std::atomic<bool> l_b_Done{false};
    auto l_x_Waiter = std::async(std::launch::async, [&] {
        l_x_ThreadId.set_value(GetCurrentThreadId());
        int32_t l_i_Status = ToolShare_WaitData(&m_x_Service, nullptr, 300);
        l_b_Done = true;
        // Thread ids are reused, also by other processes: stay alive until nobody posts to
        // this one any more.
        l_x_PostingStopped.get_future().wait();
        return l_i_Status;
    });
    DWORD l_ul_ThreadId = l_x_ThreadId.get_future().get();
    while (!l_b_Done) {
        PostThreadMessageA(l_ul_ThreadId, WM_USER + 2, 0, 0);
        Sleep(5);
    }
    l_x_PostingStopped.set_value();
    EXPECT_EQ(TULVO_TS_TIMEOUT, l_x_Waiter.get());
}

TEST_F(ChannelTest, SingleChunkMessageCostsThreeKernelCallsToWriteAndFiveToRead) {
    // The count is the transport's speed on Wine; a new call in these paths must be a choice.
    std::vector<uint8_t> l_x_Message = Pattern(16, 7);
    std::vector<uint8_t> l_x_Read;
    ASSERT_EQ(TULVO_OK, WriteMessage(&m_x_Client, l_x_Message, nullptr, WAIT_LIMIT_MS));
    ASSERT_EQ(TULVO_OK, ReadMessage(&m_x_Service, &l_x_Read, nullptr, WAIT_LIMIT_MS));
    for (int l_i_Round = 0; l_i_Round < 3; ++l_i_Round) {
        uint32_t l_ul_Before = ToolShare_GetKernelCallCount();
        ASSERT_EQ(TULVO_OK, WriteMessage(&m_x_Client, l_x_Message, nullptr, WAIT_LIMIT_MS));
        uint32_t l_ul_Written = ToolShare_GetKernelCallCount();
        ASSERT_EQ(TULVO_OK, ReadMessage(&m_x_Service, &l_x_Read, nullptr, WAIT_LIMIT_MS));
        uint32_t l_ul_Read = ToolShare_GetKernelCallCount();
        EXPECT_EQ(3u, l_ul_Written - l_ul_Before);
        EXPECT_EQ(5u, l_ul_Read - l_ul_Written);
        EXPECT_EQ(l_x_Message, l_x_Read);
    }
    // Three chunks: four calls more per further chunk at each end.
    l_x_Message = Pattern(2 * (SMALL_SECTION - 4) + 1, 8);
    uint32_t l_ul_Before = ToolShare_GetKernelCallCount();
    auto l_x_Writer = std::async(std::launch::async, [&] {
        return WriteMessage(&m_x_Client, l_x_Message, nullptr, WAIT_LIMIT_MS);
    });
    ASSERT_EQ(TULVO_OK, ReadMessage(&m_x_Service, &l_x_Read, nullptr, WAIT_LIMIT_MS));
    ASSERT_EQ(TULVO_OK, l_x_Writer.get());
    EXPECT_EQ(3u + 5u + 2u * (4u + 4u), ToolShare_GetKernelCallCount() - l_ul_Before);
    EXPECT_EQ(l_x_Message, l_x_Read);
}

// Views of the section: one per record that holds it, mapped when the record is filled and
// released by ToolShare_Close, wherever the record has been copied or moved to since.
class ViewTest : public ChannelTest {
protected:
    // A size no other mapping of the process is likely to have; only differences count.
    static const uint32_t SECTION = 0x7000;
    void SetUp() override {
        m_st_Views = CountViewsOfSize(SECTION);
        Open(SECTION);
    }
    // One message each way, with the kernel calls of the single-chunk budget and no more.
    void ExpectExchange(ToolShare_Channel* io_px_Service, ToolShare_Channel* io_px_Client) {
        std::vector<uint8_t> l_x_Request;
        std::vector<uint8_t> l_x_Response;
        const uint32_t l_ul_Before = ToolShare_GetKernelCallCount();
        ASSERT_EQ(TULVO_OK, WriteMessage(io_px_Client, TextBytes("request"), nullptr, 0));
        ASSERT_EQ(TULVO_OK, ReadMessage(io_px_Service, &l_x_Request, nullptr, WAIT_LIMIT_MS));
        ASSERT_EQ(TULVO_OK, WriteMessage(io_px_Service, TextBytes("response"), nullptr, 0));
        ASSERT_EQ(TULVO_OK, ReadMessage(io_px_Client, &l_x_Response, nullptr, WAIT_LIMIT_MS));
        EXPECT_EQ(2u * (3u + 5u), ToolShare_GetKernelCallCount() - l_ul_Before);
        EXPECT_EQ(TextBytes("request"), l_x_Request);
        EXPECT_EQ(TextBytes("response"), l_x_Response);
    }
    size_t m_st_Views = 0;
};

TEST_F(ViewTest, RecordMovedIntoAGrowingTableKeepsItsViewAndReleasesItOnClose) {
    ExpectExchange(&m_x_Service, &m_x_Client);
    EXPECT_EQ(m_st_Views + 3, CountViewsOfSize(SECTION)); // the test's own and one per end
    std::vector<ToolShare_Channel> l_ax_Table(1, m_x_Service);
    m_x_Service = ToolShare_Channel();
    for (int l_i_Round = 0; l_i_Round < 3; ++l_i_Round) {
        l_ax_Table.resize(l_ax_Table.size() * 4); // moves the record to a new place
        ExpectExchange(&l_ax_Table[0], &m_x_Client);
    }
    EXPECT_EQ(m_st_Views + 3, CountViewsOfSize(SECTION));
    ToolShareSrv_Close(&l_ax_Table[0]);
    EXPECT_EQ(m_st_Views + 2, CountViewsOfSize(SECTION));
}

TEST_F(ViewTest, CopyUsedBeforeItsOriginalNeitherMapsNorLeaks) {
    {
        ToolShare_Channel l_x_Copy = m_x_Client; // as the public server hands its record on
        ExpectExchange(&m_x_Service, &l_x_Copy);
        EXPECT_EQ(m_x_Client.m_puc_View, l_x_Copy.m_puc_View);
    }
    ExpectExchange(&m_x_Service, &m_x_Client);
    EXPECT_EQ(m_st_Views + 3, CountViewsOfSize(SECTION));
    ToolShare_Close(&m_x_Client);
    EXPECT_EQ(m_st_Views + 2, CountViewsOfSize(SECTION));
}

TEST_F(ViewTest, OpenRecordIsNotFilledAgainAndAClosedOneIs) {
    ExpectExchange(&m_x_Service, &m_x_Client);
    const ToolShare_Channel l_x_Held = m_x_Service;
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareSrv_PublicListen(&m_x_Param, &m_x_Service));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShareClt_PublicConnect(&m_x_Param, &m_x_Client));
    EXPECT_EQ(0, memcmp(&l_x_Held, &m_x_Service, sizeof(l_x_Held)));
    ExpectExchange(&m_x_Service, &m_x_Client);
    EXPECT_EQ(m_st_Views + 3, CountViewsOfSize(SECTION));

    ToolShare_Close(&m_x_Client);
    ASSERT_EQ(TULVO_OK, ToolShareClt_PublicConnect(&m_x_Param, &m_x_Client));
    ExpectExchange(&m_x_Service, &m_x_Client);
    EXPECT_EQ(m_st_Views + 3, CountViewsOfSize(SECTION));
}

TEST(ToolShareTransferArguments, MissingRecordOrObjectsGiveBadArgument) {
    ToolShare_Channel l_x_Empty = {};
    uint32_t l_ul_Length = 7;
    uint8_t l_uc_Byte = 0;
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT,
              ToolShare_WriteLenDataAndData(nullptr, &l_uc_Byte, 1, nullptr, 0));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT,
              ToolShare_WriteLenDataAndData(&l_x_Empty, &l_uc_Byte, 1, nullptr, 0));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_WaitData(&l_x_Empty, nullptr, 0));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_ReadLenData(&l_x_Empty, &l_ul_Length, nullptr, 0));
    EXPECT_EQ(0u, l_ul_Length);
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_ReadLenData(&l_x_Empty, nullptr, nullptr, 0));
    EXPECT_EQ(TULVO_TS_BAD_ARGUMENT, ToolShare_ReadData(nullptr, &l_uc_Byte, 1, nullptr, 0));
}

} // namespace
