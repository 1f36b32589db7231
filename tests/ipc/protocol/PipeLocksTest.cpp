// The pipe-lock list of SERVERINFOS info type 2: the bytes the service writes and the bounded
// decoding tulvo_cli relies on.
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/PipeLocks.h"
#include "ipc/protocol/TulvoStatus.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

GestIpc_PipeLock Lock(const char* i_pc_Serial, uint32_t i_ul_Pipe, uint32_t i_ul_Process,
                      uint32_t i_ul_HeldMs) {
    GestIpc_PipeLock l_x_Lock = {};
    strncpy(l_x_Lock.m_ac_SerialNumber, i_pc_Serial, sizeof(l_x_Lock.m_ac_SerialNumber) - 1);
    l_x_Lock.m_ul_PipeIndex = i_ul_Pipe;
    l_x_Lock.m_ul_ProcessId = i_ul_Process;
    l_x_Lock.m_ul_HeldMs = i_ul_HeldMs;
    return l_x_Lock;
}

Bytes Build(const std::vector<GestIpc_PipeLock>& i_ax_Locks) {
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TULVO_OK,
              GestIpc_BuildPipeLocks(i_ax_Locks.data(), static_cast<uint32_t>(i_ax_Locks.size()),
                                     &l_puc_Data, &l_ul_Length));
    Bytes l_x_Data(l_puc_Data, l_puc_Data + l_ul_Length);
    GestIpc_FreeBuffer(l_puc_Data);
    return l_x_Data;
}

// The status of decoding; the records in o_px_Locks.
int32_t Decode(const Bytes& i_x_Data, std::vector<GestIpc_PipeLock>* o_px_Locks) {
    GestIpc_PipeLock* l_px_Locks = nullptr;
    uint32_t l_ul_Count = 99;
    const int32_t l_i_Status = GestIpc_DecodePipeLocks(
        i_x_Data.data(), static_cast<uint32_t>(i_x_Data.size()), &l_px_Locks, &l_ul_Count);
    if (l_i_Status != TULVO_OK) {
        EXPECT_EQ(nullptr, l_px_Locks);
        EXPECT_EQ(0u, l_ul_Count);
    }
    o_px_Locks->assign(l_px_Locks, l_px_Locks + l_ul_Count);
    GestIpc_FreeBuffer(l_px_Locks);
    return l_i_Status;
}

TEST(PipeLocks, RecordsTravelAsSerialPipeProcessAndTimeAfterTheCount) {
    EXPECT_EQ((Bytes{0, 0, 0, 0}), Build({}));
    const Bytes l_x_Data = Build({Lock("SN1", 0, 0x01020304, 1500), Lock("AB", 2, 7, 0xFFFFFFFF)});
    EXPECT_EQ((Bytes{0,    0,    0,   2,   'S', 'N', '1', 0, 0, 1, 2,    3,    4,    0,   0,
                     0x05, 0xDC, 'A', 'B', 0,   2,   0,   0, 0, 7, 0xFF, 0xFF, 0xFF, 0xFF}),
              l_x_Data);

    std::vector<GestIpc_PipeLock> l_ax_Locks;
    ASSERT_EQ(TULVO_OK, Decode(l_x_Data, &l_ax_Locks));
    ASSERT_EQ(2u, l_ax_Locks.size());
    EXPECT_STREQ("SN1", l_ax_Locks[0].m_ac_SerialNumber);
    EXPECT_EQ(0u, l_ax_Locks[0].m_ul_PipeIndex);
    EXPECT_EQ(0x01020304u, l_ax_Locks[0].m_ul_ProcessId);
    EXPECT_EQ(1500u, l_ax_Locks[0].m_ul_HeldMs);
    EXPECT_STREQ("AB", l_ax_Locks[1].m_ac_SerialNumber);
    EXPECT_EQ(2u, l_ax_Locks[1].m_ul_PipeIndex);
    EXPECT_EQ(0xFFFFFFFFu, l_ax_Locks[1].m_ul_HeldMs);

    // A reader ignores what a later service may append.
    Bytes l_x_Longer = l_x_Data;
    l_x_Longer.insert(l_x_Longer.end(), {1, 2, 3});
    ASSERT_EQ(TULVO_OK, Decode(l_x_Longer, &l_ax_Locks));
    EXPECT_EQ(2u, l_ax_Locks.size());
}

TEST(PipeLocks, EveryCutOfAListIsRefusedWithoutRecords) {
    const Bytes l_x_Data = Build({Lock("SN1", 0, 5, 6), Lock("SN22", 1, 7, 8)});
    std::vector<GestIpc_PipeLock> l_ax_Locks;
    for (size_t l_st_Length = 0; l_st_Length < l_x_Data.size(); ++l_st_Length) {
        EXPECT_EQ(TULVO_BAD_IPC_FORMAT,
                  Decode(Bytes(l_x_Data.begin(), l_x_Data.begin() + l_st_Length), &l_ax_Locks))
            << l_st_Length;
    }
}

TEST(PipeLocks, HostileCountsAndSerialNumbersAreRefused) {
    std::vector<GestIpc_PipeLock> l_ax_Locks;
    // A count that the bytes cannot hold is refused before anything is allocated for it.
    EXPECT_EQ(
        TULVO_BAD_IPC_FORMAT,
        Decode(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'A', 0, 0, 0, 0, 0, 1, 0, 0, 0, 1}, &l_ax_Locks));
    // A serial number of 100 characters does not fit the record's field.
    Bytes l_x_Long{0, 0, 0, 1};
    l_x_Long.insert(l_x_Long.end(), 100, 'X');
    l_x_Long.insert(l_x_Long.end(), {0, 0, 0, 0, 0, 1, 0, 0, 0, 1});
    EXPECT_EQ(TULVO_BAD_IPC_FORMAT, Decode(l_x_Long, &l_ax_Locks));
    // 99 characters do.
    l_x_Long.erase(l_x_Long.begin() + 4);
    ASSERT_EQ(TULVO_OK, Decode(l_x_Long, &l_ax_Locks));
    EXPECT_EQ(std::string(99, 'X'), l_ax_Locks.at(0).m_ac_SerialNumber);
}

TEST(PipeLocks, TheServiceCutsAnUnterminatedSerialNumberAndRefusesBadRecords) {
    GestIpc_PipeLock l_x_Full = Lock("", 1, 2, 3);
    memset(l_x_Full.m_ac_SerialNumber, 'Z', sizeof(l_x_Full.m_ac_SerialNumber));
    std::vector<GestIpc_PipeLock> l_ax_Locks;
    ASSERT_EQ(TULVO_OK, Decode(Build({l_x_Full}), &l_ax_Locks));
    EXPECT_EQ(std::string(99, 'Z'), l_ax_Locks.at(0).m_ac_SerialNumber);

    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    const GestIpc_PipeLock l_x_BadPipe = Lock("SN", 256, 1, 1);
    EXPECT_EQ(TULVO_BAD_PARAMETER,
              GestIpc_BuildPipeLocks(&l_x_BadPipe, 1, &l_puc_Data, &l_ul_Length));
    EXPECT_EQ(TULVO_BAD_PARAMETER, GestIpc_BuildPipeLocks(nullptr, 1, &l_puc_Data, &l_ul_Length));
    EXPECT_EQ(nullptr, l_puc_Data);
    EXPECT_EQ(0u, l_ul_Length);
}

} // namespace
