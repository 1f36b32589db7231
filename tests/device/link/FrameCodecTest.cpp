// Link framing: frames written from the wire layout by hand, fed to the receiver whole, split
// at every byte boundary and in random chunks, with noise, corruption and the exact log lines.
#include "device/link/FrameCodec.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/device/link/FrameRecorder.h"
#include "tests/common/TraceCapture.h"

#include <gtest/gtest.h>

#include <random>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// "SYNC" 03 00 00 00 FC FF FF FF 80 00 00 "EN": the serial-number request.
const Bytes g_x_SerialFrame = {'S',  'Y',  'N',  'C',  0x03, 0x00, 0x00, 0x00, 0xFC,
                               0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 'E',  'N'};
// An empty frame: L = 0, complement FF FF FF FF.
const Bytes g_x_EmptyFrame = {'S',  'Y',  'N',  'C',  0x00, 0x00, 0x00,
                              0x00, 0xFF, 0xFF, 0xFF, 0xFF, 'E',  'N'};
// The run-level request FE 02 00 32 01.
const Bytes g_x_RunLevelFrame = {'S',  'Y',  'N',  'C',  0x05, 0x00, 0x00, 0x00, 0xFA, 0xFF,
                                 0xFF, 0xFF, 0xFE, 0x02, 0x00, 0x32, 0x01, 'E',  'N'};

Bytes Concat(std::initializer_list<Bytes> i_ax_Parts) {
    Bytes l_x_All;
    for (const Bytes& l_x_Part : i_ax_Parts) {
        l_x_All.insert(l_x_All.end(), l_x_Part.begin(), l_x_Part.end());
    }
    return l_x_All;
}

class FrameReceiverTest : public ::testing::Test {
protected:
    FrameReceiverTest() : m_x_Receiver(&m_x_Owner) {}
    void TearDown() override { EXPECT_EQ(m_x_Owner.NullFrames(), 0); }

    // Feeds the chunks as separate heap blocks, so that ASan sees any read past a chunk.
    int32_t Feed(const Bytes& i_x_Chunk) {
        Bytes l_x_Copy(i_x_Chunk);
        return m_x_Receiver.HandleReceiveBytes(l_x_Copy.empty() ? nullptr : l_x_Copy.data(),
                                               static_cast<uint32_t>(l_x_Copy.size()));
    }
    int32_t FeedSplit(const Bytes& i_x_Stream, const std::vector<size_t>& i_ax_Cuts) {
        size_t l_st_Start = 0;
        for (size_t l_st_Cut : i_ax_Cuts) {
            if (l_st_Cut == l_st_Start) {
                continue; // an empty read is logged; the noise checks below want silence
            }
            const int32_t l_i_Status =
                Feed(Bytes(i_x_Stream.begin() + l_st_Start, i_x_Stream.begin() + l_st_Cut));
            if (l_i_Status != TULVO_OK) {
                return l_i_Status;
            }
            l_st_Start = l_st_Cut;
        }
        if (l_st_Start == i_x_Stream.size()) {
            return TULVO_OK;
        }
        return Feed(Bytes(i_x_Stream.begin() + l_st_Start, i_x_Stream.end()));
    }
    void Restart() {
        m_x_Receiver.ResetReceive();
        m_x_Owner.TakeFrames();
    }

    tulvo_test::CTraceCapture m_x_Log;
    tulvo_test::CFrameRecorder<> m_x_Owner;
    CFrameReceiver m_x_Receiver;
};

TEST(FrameEncoder, WritesHeaderComplementDataAndTrailer) {
    const uint8_t l_auc_Record[] = {0x80, 0x00, 0x00};
    uint8_t* l_puc_Frame = nullptr;
    uint32_t l_ul_Size = 0;
    ASSERT_EQ(Frame_AllocEncoded(l_auc_Record, 3, &l_puc_Frame, &l_ul_Size), TULVO_OK);
    EXPECT_EQ(Bytes(l_puc_Frame, l_puc_Frame + l_ul_Size), g_x_SerialFrame);
    free(l_puc_Frame);
    ASSERT_EQ(Frame_AllocEncoded(nullptr, 0, &l_puc_Frame, &l_ul_Size), TULVO_OK);
    EXPECT_EQ(Bytes(l_puc_Frame, l_puc_Frame + l_ul_Size), g_x_EmptyFrame);
    free(l_puc_Frame);

    uint8_t l_auc_Small[16];
    EXPECT_EQ(Frame_Encode(l_auc_Record, 3, l_auc_Small, 16), TULVO_BAD_PARAMETER);
    EXPECT_EQ(Frame_EncodedSize(0xFFFFFFFFu - 13), 0u);
    EXPECT_EQ(Frame_AllocEncoded(l_auc_Record, 0xFFFFFFF2u, &l_puc_Frame, &l_ul_Size),
              TULVO_DATA_TOO_LARGE);
    EXPECT_EQ(l_puc_Frame, nullptr);
}

TEST(FrameEncoder, ZeroByteFollowsOnlyFramesOfWholePackets) {
    EXPECT_EQ(Frame_EncodedSize(50), 64u);
    EXPECT_TRUE(Frame_NeedsZeroByte(Frame_EncodedSize(50)));
    EXPECT_FALSE(Frame_NeedsZeroByte(Frame_EncodedSize(49)));
    EXPECT_FALSE(Frame_NeedsZeroByte(Frame_EncodedSize(51)));
    EXPECT_TRUE(Frame_NeedsZeroByte(Frame_EncodedSize(114)));
    EXPECT_FALSE(Frame_NeedsZeroByte(Frame_EncodedSize(0)));
}

TEST_F(FrameReceiverTest, OneChunkWithTwoFramesDeliversBothInOrder) {
    ASSERT_EQ(Feed(Concat({g_x_SerialFrame, g_x_RunLevelFrame})), TULVO_OK);
    ASSERT_EQ(m_x_Owner.Frames().size(), 2u);
    EXPECT_EQ(m_x_Owner.Frames()[0], (Bytes{0x80, 0x00, 0x00}));
    EXPECT_EQ(m_x_Owner.Frames()[1], (Bytes{0xFE, 0x02, 0x00, 0x32, 0x01}));
    EXPECT_EQ(m_x_Receiver.GetRxStruct().m_uc_State, 0);
    EXPECT_TRUE(m_x_Log.Take().empty());
}

TEST_F(FrameReceiverTest, StreamSplitAtEveryBoundaryDeliversTheSameFrames) {
    // Noise, the 0x00 after a whole-packet frame, a stray 'S', an empty frame, more noise.
    const Bytes l_x_Stream = Concat({{0x00, 'x', 'S'},
                                     g_x_SerialFrame,
                                     {0x00},
                                     g_x_EmptyFrame,
                                     {'S', 'Y', 'S'},
                                     g_x_RunLevelFrame,
                                     {'E', 'N', 'S'}});
    const std::vector<Bytes> l_ax_Expected = {
        {0x80, 0x00, 0x00}, {}, {0xFE, 0x02, 0x00, 0x32, 0x01}};
    for (size_t l_st_First = 0; l_st_First <= l_x_Stream.size(); ++l_st_First) {
        for (size_t l_st_Second = l_st_First; l_st_Second <= l_x_Stream.size(); ++l_st_Second) {
            Restart();
            ASSERT_EQ(FeedSplit(l_x_Stream, {l_st_First, l_st_Second}), TULVO_OK);
            ASSERT_EQ(m_x_Owner.Frames(), l_ax_Expected)
                << "cuts at " << l_st_First << " and " << l_st_Second;
        }
    }
    std::mt19937 l_x_Random(20261207);
    for (int l_i_Round = 0; l_i_Round < 300; ++l_i_Round) {
        Restart();
        std::vector<size_t> l_ax_Cuts;
        size_t l_st_At = 0;
        while (true) {
            l_st_At += 1 + l_x_Random() % 6;
            if (l_st_At >= l_x_Stream.size()) {
                break;
            }
            l_ax_Cuts.push_back(l_st_At);
        }
        ASSERT_EQ(FeedSplit(l_x_Stream, l_ax_Cuts), TULVO_OK);
        ASSERT_EQ(m_x_Owner.Frames(), l_ax_Expected) << "round " << l_i_Round;
    }
    EXPECT_TRUE(m_x_Log.Take().empty()); // noise is skipped silently
}

TEST_F(FrameReceiverTest, LargeFrameInMany4KChunksArrivesUnchanged) {
    Bytes l_x_Data(100000);
    for (size_t l_st_Index = 0; l_st_Index < l_x_Data.size(); ++l_st_Index) {
        l_x_Data[l_st_Index] = static_cast<uint8_t>(l_st_Index * 31 + 7);
    }
    uint8_t* l_puc_Frame = nullptr;
    uint32_t l_ul_Size = 0;
    ASSERT_EQ(Frame_AllocEncoded(l_x_Data.data(), 100000, &l_puc_Frame, &l_ul_Size), TULVO_OK);
    const Bytes l_x_Stream(l_puc_Frame, l_puc_Frame + l_ul_Size);
    free(l_puc_Frame);
    std::vector<size_t> l_ax_Cuts;
    for (size_t l_st_Cut = 4096; l_st_Cut < l_x_Stream.size(); l_st_Cut += 4096) {
        l_ax_Cuts.push_back(l_st_Cut);
    }
    ASSERT_EQ(FeedSplit(l_x_Stream, l_ax_Cuts), TULVO_OK);
    ASSERT_EQ(m_x_Owner.Frames().size(), 1u);
    EXPECT_EQ(m_x_Owner.Frames()[0], l_x_Data);
}

TEST_F(FrameReceiverTest, EmptyFrameWhoseChunkEndsAfterTheHeader) {
    ASSERT_EQ(Feed(Bytes(g_x_EmptyFrame.begin(), g_x_EmptyFrame.begin() + 12)), TULVO_OK);
    EXPECT_TRUE(m_x_Owner.Frames().empty());
    EXPECT_EQ(m_x_Receiver.GetRxStruct().m_uc_State, 12);
    ASSERT_EQ(Feed({'E', 'N'}), TULVO_OK);
    ASSERT_EQ(m_x_Owner.Frames().size(), 1u);
    EXPECT_TRUE(m_x_Owner.Frames()[0].empty());
}

TEST_F(FrameReceiverTest, BadComplementStopsTheChunkWithoutDelivery) {
    Bytes l_x_Bad(g_x_SerialFrame);
    l_x_Bad[8] = 0xFD; // complement of 2, not of 3
    EXPECT_EQ(Feed(Concat({l_x_Bad, g_x_RunLevelFrame})), TULVO_BAD_FRAME_LENGTH);
    EXPECT_TRUE(m_x_Owner.Frames().empty()); // the rest of the chunk is lost too
    EXPECT_EQ(m_x_Log.Take(),
              (std::vector<std::string>{"TULVO_HandleReceiveBytes Err Length : "
                                        "m_x_RxStruct.m_ul_BytesToReceive:0x3\tl_ul_len:0xfffffffd",
                                        "TULVO_HandleReceiveBytes : Error -401 \n"}));
    m_x_Receiver.ResetReceive();
    ASSERT_EQ(Feed(g_x_RunLevelFrame), TULVO_OK);
    EXPECT_EQ(m_x_Owner.Frames().size(), 1u);
}

TEST_F(FrameReceiverTest, HeaderSplitAcrossChunksIsComparedWhole) {
    Bytes l_x_Bad(g_x_SerialFrame);
    l_x_Bad[11] = 0x7F; // highest complement byte arrives in the second chunk
    EXPECT_EQ(Feed(Bytes(l_x_Bad.begin(), l_x_Bad.begin() + 9)), TULVO_OK);
    EXPECT_EQ(Feed(Bytes(l_x_Bad.begin() + 9, l_x_Bad.end())), TULVO_BAD_FRAME_LENGTH);
    EXPECT_TRUE(m_x_Owner.Frames().empty());
}

TEST_F(FrameReceiverTest, BadTrailerGivesCorruptedFrameAndNextChunkIsFine) {
    Bytes l_x_Bad(g_x_SerialFrame);
    l_x_Bad.back() = 'X';
    EXPECT_EQ(Feed(l_x_Bad), TULVO_CORRUPTED_FRAME);
    EXPECT_TRUE(m_x_Owner.Frames().empty());
    EXPECT_EQ(m_x_Log.Take(),
              (std::vector<std::string>{"TULVO_HandleReceiveBytes : CURRPUTED FRAME (ILV 80)  \n",
                                        "TULVO_HandleReceiveBytes : Error -395 \n"}));
    m_x_Receiver.ResetReceive(); // what the receive thread does after a failure
    ASSERT_EQ(Feed(g_x_SerialFrame), TULVO_OK);
    ASSERT_EQ(m_x_Owner.Frames().size(), 1u);

    // Missing 'E' on an empty frame: there is no data byte to show.
    Bytes l_x_BadEmpty(g_x_EmptyFrame);
    l_x_BadEmpty[12] = 'S';
    EXPECT_EQ(Feed(l_x_BadEmpty), TULVO_CORRUPTED_FRAME);
    EXPECT_EQ(m_x_Log.Take().front(), "TULVO_HandleReceiveBytes : CURRPUTED FRAME (ILV 0)  \n");
    // Even a caller that forgets its reset does not get the corrupted frame later.
    ASSERT_EQ(Feed(Concat({{'N'}, g_x_SerialFrame})), TULVO_OK);
    EXPECT_EQ(m_x_Owner.Frames().size(), 2u);
}

TEST_F(FrameReceiverTest, LengthAboveTheLimitIsRefusedBeforeAllocation) {
    const uint32_t l_ul_Length = FRAME_MAX_DATA_LENGTH + 1;
    const uint32_t l_ul_Complement = ~l_ul_Length;
    Bytes l_x_Header = {'S', 'Y', 'N', 'C'};
    for (uint32_t l_ul_Field : {l_ul_Length, l_ul_Complement}) {
        for (int l_i_Byte = 0; l_i_Byte < 4; ++l_i_Byte) {
            l_x_Header.push_back(static_cast<uint8_t>(l_ul_Field >> (8 * l_i_Byte)));
        }
    }
    EXPECT_EQ(Feed(l_x_Header), TULVO_BAD_FRAME_LENGTH);
    EXPECT_EQ(m_x_Receiver.GetRxStruct().m_puc_Frame, nullptr);
    EXPECT_EQ(m_x_Log.Take(),
              (std::vector<std::string>{"TULVO_HandleReceiveBytes Err Length : "
                                        "m_x_RxStruct.m_ul_BytesToReceive:0x800001 above the "
                                        "limit 0x800000\n",
                                        "TULVO_HandleReceiveBytes : Error -401 \n"}));
}

TEST_F(FrameReceiverTest, EmptyCallLogsTheStateAndChangesNothing) {
    ASSERT_EQ(Feed(Bytes(g_x_SerialFrame.begin(), g_x_SerialFrame.begin() + 5)), TULVO_OK);
    EXPECT_EQ(m_x_Receiver.HandleReceiveBytes(nullptr, 0), TULVO_OK);
    EXPECT_EQ(m_x_Log.Take(),
              (std::vector<std::string>{"HandleReceiveBytes 0 data and state 5\n"}));
    ASSERT_EQ(Feed(Bytes(g_x_SerialFrame.begin() + 5, g_x_SerialFrame.end())), TULVO_OK);
    EXPECT_EQ(m_x_Owner.Frames().size(), 1u);
}

TEST_F(FrameReceiverTest, ResetDropsAPartialFrame) {
    ASSERT_EQ(Feed(Bytes(g_x_SerialFrame.begin(), g_x_SerialFrame.begin() + 13)), TULVO_OK);
    EXPECT_NE(m_x_Receiver.GetRxStruct().m_puc_Frame, nullptr);
    m_x_Receiver.ResetReceive();
    EXPECT_EQ(m_x_Receiver.GetRxStruct().m_puc_Frame, nullptr);
    // The tail of the dropped frame is noise; the next frame is found.
    ASSERT_EQ(Feed(Concat(
                  {Bytes(g_x_SerialFrame.begin() + 13, g_x_SerialFrame.end()), g_x_RunLevelFrame})),
              TULVO_OK);
    ASSERT_EQ(m_x_Owner.Frames().size(), 1u);
    EXPECT_EQ(m_x_Owner.Frames()[0].size(), 5u);
}

// Frame-complete reads ask for the bytes the receiver is owed and no more: a stream cut right
// after any good frame is read to its end in reads of exactly that size, whatever came before
// (noise, a stray 'S', part of "SYNC", an empty frame, a bad trailer, a garbled length), and
// every good frame is delivered by then.
TEST_F(FrameReceiverTest, ReadsOfTheBytesOwedNeverWaitPastACompleteFrame) {
    Bytes l_x_BadTrailer(g_x_SerialFrame);
    l_x_BadTrailer.back() = 'X';
    Bytes l_x_BadLength(g_x_RunLevelFrame);
    l_x_BadLength[8] = 0x00;
    const std::vector<std::pair<Bytes, bool>> l_ax_Parts = {
        {{'x', 0x00, 'S'}, false}, {g_x_EmptyFrame, true},  {{'S', 'Y'}, false},
        {g_x_SerialFrame, true},   {l_x_BadTrailer, false}, {g_x_RunLevelFrame, true},
        {{'S', 'Y', 'N'}, false},  {l_x_BadLength, false},  {g_x_EmptyFrame, true},
        {g_x_RunLevelFrame, true}};
    Bytes l_x_Stream;
    size_t l_st_Good = 0;
    for (const auto& l_x_Part : l_ax_Parts) {
        l_x_Stream.insert(l_x_Stream.end(), l_x_Part.first.begin(), l_x_Part.first.end());
        if (!l_x_Part.second) {
            continue;
        }
        ++l_st_Good;
        Restart();
        for (size_t l_st_At = 0; l_st_At < l_x_Stream.size();) {
            const uint32_t l_ul_Owed = m_x_Receiver.GetBytesToCompleteFrame();
            ASSERT_GE(l_ul_Owed, 1u);
            ASSERT_LE(l_ul_Owed, l_x_Stream.size() - l_st_At)
                << "state " << int(m_x_Receiver.GetRxStruct().m_uc_State) << " at " << l_st_At
                << " of " << l_x_Stream.size();
            if (Feed(Bytes(l_x_Stream.begin() + static_cast<std::ptrdiff_t>(l_st_At),
                           l_x_Stream.begin() +
                               static_cast<std::ptrdiff_t>(l_st_At + l_ul_Owed))) != TULVO_OK) {
                m_x_Receiver.ResetReceive();
            }
            l_st_At += l_ul_Owed;
        }
        EXPECT_EQ(m_x_Owner.Frames().size(), l_st_Good) << "stream of " << l_x_Stream.size();
    }
}

} // namespace
