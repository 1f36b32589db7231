#include "ipc/protocol/PipeLocks.h"

#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"

#include <stdlib.h>
#include <string.h>

namespace {

size_t SerialNumberLength(const GestIpc_PipeLock& i_x_Lock) {
    return strnlen(i_x_Lock.m_ac_SerialNumber, PIPELOCKS_SERIAL_NUMBER_SIZE - 1);
}

} // namespace

int32_t GestIpc_BuildPipeLocks(const GestIpc_PipeLock* i_px_Locks, uint32_t i_ul_Count,
                               uint8_t** o_ppuc_Data, uint32_t* o_pul_Length) {
    *o_ppuc_Data = nullptr;
    *o_pul_Length = 0;
    if (i_ul_Count != 0 && i_px_Locks == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    uint64_t l_ull_Size = PIPELOCKS_OFFSET_RECORDS;
    for (uint32_t l_ul_Index = 0; l_ul_Index < i_ul_Count; ++l_ul_Index) {
        if (i_px_Locks[l_ul_Index].m_ul_PipeIndex > 0xFF) {
            return TULVO_BAD_PARAMETER;
        }
        l_ull_Size += SerialNumberLength(i_px_Locks[l_ul_Index]) + 1 + PIPELOCKS_RECORD_TAIL_SIZE;
    }
    if (l_ull_Size > 0xFFFFFFFFull) {
        return TULVO_BAD_PARAMETER;
    }
    uint8_t* const l_puc_Data = static_cast<uint8_t*>(malloc(static_cast<size_t>(l_ull_Size)));
    if (l_puc_Data == nullptr) {
        return TULVO_NO_MEMORY;
    }
    GestIpc_PutU32(l_puc_Data + PIPELOCKS_OFFSET_COUNT, i_ul_Count);
    uint8_t* l_puc_Next = l_puc_Data + PIPELOCKS_OFFSET_RECORDS;
    for (uint32_t l_ul_Index = 0; l_ul_Index < i_ul_Count; ++l_ul_Index) {
        const GestIpc_PipeLock& l_x_Lock = i_px_Locks[l_ul_Index];
        const size_t l_st_Length = SerialNumberLength(l_x_Lock);
        memcpy(l_puc_Next, l_x_Lock.m_ac_SerialNumber, l_st_Length);
        l_puc_Next[l_st_Length] = '\0';
        l_puc_Next += l_st_Length + 1;
        *l_puc_Next++ = static_cast<uint8_t>(l_x_Lock.m_ul_PipeIndex);
        GestIpc_PutU32(l_puc_Next, l_x_Lock.m_ul_ProcessId);
        GestIpc_PutU32(l_puc_Next + 4, l_x_Lock.m_ul_HeldMs);
        l_puc_Next += 8;
    }
    *o_ppuc_Data = l_puc_Data;
    *o_pul_Length = static_cast<uint32_t>(l_ull_Size);
    return TULVO_OK;
}

int32_t GestIpc_DecodePipeLocks(const uint8_t* i_puc_Data, uint32_t i_ul_Length,
                                GestIpc_PipeLock** o_ppx_Locks, uint32_t* o_pul_Count) {
    *o_ppx_Locks = nullptr;
    *o_pul_Count = 0;
    if (i_puc_Data == nullptr || i_ul_Length < PIPELOCKS_OFFSET_RECORDS) {
        return TULVO_BAD_IPC_FORMAT;
    }
    const uint32_t l_ul_Count = GestIpc_GetU32(i_puc_Data + PIPELOCKS_OFFSET_COUNT);
    // The count comes from another process: no allocation for records that cannot be there.
    const uint32_t l_ul_Room = i_ul_Length - PIPELOCKS_OFFSET_RECORDS;
    if (l_ul_Count > l_ul_Room / (1 + PIPELOCKS_RECORD_TAIL_SIZE)) {
        return TULVO_BAD_IPC_FORMAT;
    }
    if (l_ul_Count == 0) {
        return TULVO_OK;
    }
    GestIpc_PipeLock* const l_px_Locks =
        static_cast<GestIpc_PipeLock*>(calloc(l_ul_Count, sizeof(GestIpc_PipeLock)));
    if (l_px_Locks == nullptr) {
        return TULVO_NO_MEMORY;
    }
    uint32_t l_ul_Position = PIPELOCKS_OFFSET_RECORDS;
    for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
        const uint8_t* const l_puc_Text = i_puc_Data + l_ul_Position;
        const size_t l_st_Rest = i_ul_Length - l_ul_Position;
        const uint8_t* const l_puc_Nul = static_cast<const uint8_t*>(memchr(
            l_puc_Text, '\0',
            l_st_Rest < PIPELOCKS_SERIAL_NUMBER_SIZE ? l_st_Rest : PIPELOCKS_SERIAL_NUMBER_SIZE));
        if (l_puc_Nul == nullptr ||
            static_cast<size_t>(l_puc_Nul - l_puc_Text) + 1 + PIPELOCKS_RECORD_TAIL_SIZE >
                l_st_Rest) {
            free(l_px_Locks);
            return TULVO_BAD_IPC_FORMAT;
        }
        GestIpc_PipeLock& l_x_Lock = l_px_Locks[l_ul_Index];
        const size_t l_st_Length = static_cast<size_t>(l_puc_Nul - l_puc_Text);
        memcpy(l_x_Lock.m_ac_SerialNumber, l_puc_Text, l_st_Length);
        const uint8_t* const l_puc_Tail = l_puc_Nul + 1;
        l_x_Lock.m_ul_PipeIndex = l_puc_Tail[0];
        l_x_Lock.m_ul_ProcessId = GestIpc_GetU32(l_puc_Tail + 1);
        l_x_Lock.m_ul_HeldMs = GestIpc_GetU32(l_puc_Tail + 5);
        l_ul_Position += static_cast<uint32_t>(l_st_Length + 1 + PIPELOCKS_RECORD_TAIL_SIZE);
    }
    *o_ppx_Locks = l_px_Locks;
    *o_pul_Count = l_ul_Count;
    return TULVO_OK;
}
