// Creating (service side) and opening (client side) the kernel objects of one channel.
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "ipc/toolshare/ToolShareInternal.h"
#include "service/TraceLog.h"

#include <stdio.h>
#include <string.h>

namespace toolshare {

bool FormatObjectName(char (&o_ac_Name)[TOOLSHARE_NAME_SIZE], bool i_b_Global,
                      const char* i_pc_BaseName, const char* i_pc_Suffix) {
    int l_i_Length = snprintf(o_ac_Name, sizeof(o_ac_Name), "%s%s%s", i_b_Global ? "Global\\" : "",
                              i_pc_BaseName, i_pc_Suffix);
    return l_i_Length > 0 && size_t(l_i_Length) < sizeof(o_ac_Name);
}

int32_t CheckBaseName(const char* i_pc_Caller, const char* i_pc_BaseName) {
    // One limit for every name scheme, so that a base name that works on one system works on
    // all of them and never runs into another object's name.
    size_t l_ul_Length = strnlen(i_pc_BaseName, TOOLSHARE_MAX_BASENAME_LENGTH + 1);
    if (l_ul_Length > TOOLSHARE_MAX_BASENAME_LENGTH) {
        TraceLog_Printf("%s: base name longer than %d characters\n", i_pc_Caller,
                        TOOLSHARE_MAX_BASENAME_LENGTH);
        return TULVO_TS_BAD_ARGUMENT;
    }
    return TULVO_OK;
}

uint8_t* MapSectionView(HANDLE i_h_Section, uint32_t i_ul_SectionSize) {
    void* l_pv_View = MapViewOfFile(i_h_Section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (l_pv_View == nullptr) {
        return nullptr;
    }
    // The size word comes from whoever created the section; never trust it beyond the view.
    MEMORY_BASIC_INFORMATION l_x_Info = {};
    if (VirtualQuery(l_pv_View, &l_x_Info, sizeof(l_x_Info)) == 0 ||
        i_ul_SectionSize < TOOLSHARE_MIN_SECTION_SIZE || i_ul_SectionSize > l_x_Info.RegionSize) {
        TraceLog_Printf("ToolShare: section size %lu does not fit its mapping\n",
                        static_cast<unsigned long>(i_ul_SectionSize));
        UnmapViewOfFile(l_pv_View);
        return nullptr;
    }
    return static_cast<uint8_t*>(l_pv_View);
}

bool HoldsChannel(const ToolShare_Channel* i_px_Channel) {
    return i_px_Channel->m_h_Lock != nullptr || i_px_Channel->m_h_Section != nullptr ||
           i_px_Channel->m_h_Peer != nullptr || i_px_Channel->m_h_Running != nullptr ||
           i_px_Channel->m_h_Incoming != nullptr || i_px_Channel->m_h_Outgoing != nullptr ||
           i_px_Channel->m_puc_View != nullptr;
}

} // namespace toolshare

using namespace toolshare;

namespace {

// Reads the size word of a section that someone else created; 0 when it cannot be mapped or
// the word does not describe the mapping.
uint32_t ReadSectionSize(HANDLE i_h_Section) {
    void* l_pv_View = MapViewOfFile(i_h_Section, FILE_MAP_READ, 0, 0, 0);
    if (l_pv_View == nullptr) {
        return 0;
    }
    uint32_t l_ul_Size = GetBe32(static_cast<const uint8_t*>(l_pv_View) + TOOLSHARE_OFFSET_SIZE);
    MEMORY_BASIC_INFORMATION l_x_Info = {};
    if (VirtualQuery(l_pv_View, &l_x_Info, sizeof(l_x_Info)) == 0 ||
        l_ul_Size < TOOLSHARE_MIN_SECTION_SIZE || l_ul_Size > l_x_Info.RegionSize) {
        TraceLog_Printf("ToolShare: section size word %lu does not fit its mapping\n",
                        static_cast<unsigned long>(l_ul_Size));
        l_ul_Size = 0;
    }
    UnmapViewOfFile(l_pv_View);
    return l_ul_Size;
}

bool WriteSectionSize(HANDLE i_h_Section, uint32_t i_ul_Size) {
    void* l_pv_View = MapViewOfFile(i_h_Section, FILE_MAP_WRITE, 0, 0, 0);
    if (l_pv_View == nullptr) {
        return false;
    }
    PutBe32(static_cast<uint8_t*>(l_pv_View) + TOOLSHARE_OFFSET_SIZE, i_ul_Size);
    UnmapViewOfFile(l_pv_View);
    return true;
}

// Named event of the service: created, or opened when it exists under other security, then
// given the transport's DACL and label.
HANDLE CreateOrOpenEvent(const char* i_pc_Name) {
    HANDLE l_h_Event = CreateEventA(nullptr, TRUE, FALSE, i_pc_Name);
    if (l_h_Event == nullptr) {
        l_h_Event = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, i_pc_Name);
    }
    if (l_h_Event != nullptr) {
        ToolShare_SetObjectDacl(l_h_Event, TOOLSHARE_EVENT_ACCESS);
        ToolShare_SetLowIntegrityLabel(l_h_Event);
    }
    return l_h_Event;
}

void ClearOutputs(HANDLE* o_ph_Peer, HANDLE* o_ph_Running, uint32_t* o_pul_SectionSize) {
    if (o_ph_Peer != nullptr) {
        *o_ph_Peer = nullptr;
    }
    if (o_ph_Running != nullptr) {
        *o_ph_Running = nullptr;
    }
    if (o_pul_SectionSize != nullptr) {
        *o_pul_SectionSize = 0;
    }
}

} // namespace

int32_t ToolShare_CreateChannel(HANDLE* o_ph_Peer, HANDLE* o_ph_Running, HANDLE* o_ph_Recv,
                                HANDLE* o_ph_Send, HANDLE* o_ph_Section,
                                uint32_t* o_pul_SectionSize, const char* i_pc_BaseName,
                                uint32_t i_ul_SectionSize) {
    ClearOutputs(o_ph_Peer, o_ph_Running, o_pul_SectionSize);
    if (o_ph_Recv == nullptr || o_ph_Send == nullptr || o_ph_Section == nullptr ||
        o_pul_SectionSize == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    *o_ph_Recv = nullptr;
    *o_ph_Send = nullptr;
    *o_ph_Section = nullptr;
    bool l_b_Named = i_pc_BaseName != nullptr && i_pc_BaseName[0] != '\0';
    if (l_b_Named && CheckBaseName("ToolShare_CreateChannel", i_pc_BaseName) != TULVO_OK) {
        return TULVO_TS_BAD_ARGUMENT;
    }

    CScopedHandle l_x_Running;
    CScopedHandle l_x_Recv;
    CScopedHandle l_x_Send;
    CScopedHandle l_x_Section;
    bool l_b_Found = false;
    if (!l_b_Named) {
        l_x_Recv.Set(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        l_x_Send.Set(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        l_x_Section.Set(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, 0x18000004, 0,
                                           i_ul_SectionSize, nullptr));
        l_b_Found = l_x_Section.IsValid() && GetLastError() == ERROR_ALREADY_EXISTS;
    } else {
        bool l_b_Global = ToolShare_UseGlobalNames();
        char l_ac_Name[TOOLSHARE_NAME_SIZE];
        if (FormatObjectName(l_ac_Name, l_b_Global, i_pc_BaseName, ":Running")) {
            l_x_Running.Set(CreateOrOpenEvent(l_ac_Name));
        }
        if (FormatObjectName(l_ac_Name, l_b_Global, i_pc_BaseName, ":Recv")) {
            l_x_Recv.Set(CreateOrOpenEvent(l_ac_Name));
        }
        if (FormatObjectName(l_ac_Name, l_b_Global, i_pc_BaseName, ":Send")) {
            l_x_Send.Set(CreateOrOpenEvent(l_ac_Name));
        }
        if (FormatObjectName(l_ac_Name, l_b_Global, i_pc_BaseName, ":Mfile")) {
            l_x_Section.Set(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, 0x18000004, 0,
                                               i_ul_SectionSize, l_ac_Name));
            l_b_Found = l_x_Section.IsValid() && GetLastError() == ERROR_ALREADY_EXISTS;
            if (!l_x_Section.IsValid()) {
                l_x_Section.Set(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, l_ac_Name));
                l_b_Found = true;
            }
            if (l_x_Section.IsValid()) {
                ToolShare_SetObjectDacl(l_x_Section.Get(), TOOLSHARE_SECTION_ACCESS);
                ToolShare_SetLowIntegrityLabel(l_x_Section.Get());
            }
        }
    }

    // A section left by an earlier instance keeps its size; a new one gets ours. A size word
    // that does not describe the section makes the channel unusable rather than dangerous.
    uint32_t l_ul_Size = 0;
    if (l_x_Section.IsValid()) {
        if (l_b_Found) {
            l_ul_Size = ReadSectionSize(l_x_Section.Get());
        } else if (i_ul_SectionSize >= TOOLSHARE_MIN_SECTION_SIZE &&
                   WriteSectionSize(l_x_Section.Get(), i_ul_SectionSize)) {
            l_ul_Size = i_ul_SectionSize;
        }
    }
    if (!l_x_Recv.IsValid() || !l_x_Send.IsValid() || !l_x_Section.IsValid() || l_ul_Size == 0) {
        return TULVO_TS_CHANNEL_ERROR;
    }
    *o_pul_SectionSize = l_ul_Size;
    if (o_ph_Running != nullptr) {
        *o_ph_Running = l_x_Running.Take();
    }
    *o_ph_Recv = l_x_Recv.Take();
    *o_ph_Send = l_x_Send.Take();
    *o_ph_Section = l_x_Section.Take();
    return TULVO_OK;
}

int32_t ToolShare_OpenChannel(HANDLE* o_ph_Peer, HANDLE* o_ph_Running, HANDLE* o_ph_Recv,
                              HANDLE* o_ph_Send, HANDLE* o_ph_Section, uint32_t* o_pul_SectionSize,
                              const char* i_pc_BaseName) {
    ClearOutputs(o_ph_Peer, o_ph_Running, o_pul_SectionSize);
    if (o_ph_Recv == nullptr || o_ph_Send == nullptr || o_ph_Section == nullptr ||
        o_pul_SectionSize == nullptr || i_pc_BaseName == nullptr || i_pc_BaseName[0] == '\0') {
        return TULVO_TS_BAD_ARGUMENT;
    }
    *o_ph_Recv = nullptr;
    *o_ph_Send = nullptr;
    *o_ph_Section = nullptr;
    if (CheckBaseName("ToolShare_OpenChannel", i_pc_BaseName) != TULVO_OK) {
        return TULVO_TS_BAD_ARGUMENT;
    }

    bool l_b_Global = ToolShare_UseGlobalNames();
    char l_ac_Name[TOOLSHARE_NAME_SIZE];
    CScopedHandle l_x_Running;
    CScopedHandle l_x_Recv;
    CScopedHandle l_x_Send;
    CScopedHandle l_x_Section;
    if (FormatObjectName(l_ac_Name, l_b_Global, i_pc_BaseName, ":Recv")) {
        l_x_Recv.Set(OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, l_ac_Name));
    }
    if (FormatObjectName(l_ac_Name, l_b_Global, i_pc_BaseName, ":Send")) {
        l_x_Send.Set(OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, l_ac_Name));
    }
    if (FormatObjectName(l_ac_Name, l_b_Global, i_pc_BaseName, ":Mfile")) {
        l_x_Section.Set(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, l_ac_Name));
    }
    // Running last: the service creates it before the other three, so a client that meets a
    // service starting up never finds the others without it and takes a service that has it
    // for one that runs without.
    // A client only waits on Running: the right to set or reset it is not taken.
    if (FormatObjectName(l_ac_Name, l_b_Global, i_pc_BaseName, ":Running")) {
        l_x_Running.Set(OpenEventA(SYNCHRONIZE, FALSE, l_ac_Name));
    }
    if (!l_x_Recv.IsValid() || !l_x_Send.IsValid() || !l_x_Section.IsValid()) {
        return TULVO_TS_SERVER_NOT_RUNNING;
    }
    uint32_t l_ul_Size = ReadSectionSize(l_x_Section.Get());
    if (l_ul_Size == 0) {
        return TULVO_TS_CHANNEL_ERROR;
    }
    *o_pul_SectionSize = l_ul_Size;
    if (o_ph_Running != nullptr) {
        *o_ph_Running = l_x_Running.Take();
    }
    *o_ph_Recv = l_x_Recv.Take();
    *o_ph_Send = l_x_Send.Take();
    *o_ph_Section = l_x_Section.Take();
    return TULVO_OK;
}
