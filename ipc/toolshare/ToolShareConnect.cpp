// Connections: the named public channel (listen, connect, server test, Lock mutex) and the
// unnamed private channels whose handles the service duplicates into the client process.
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"
#include "ipc/toolshare/ToolShareInternal.h"
#include "service/TraceLog.h"

#include <string.h>

using namespace toolshare;

namespace {

// Gives a freshly filled record the view its transfers use. A section that cannot be mapped
// leaves none: each transfer then tries again and reports TULVO_TS_CHANNEL_ERROR.
void MapRecordView(ToolShare_Channel* io_px_Channel) {
    io_px_Channel->m_puc_View =
        MapSectionView(io_px_Channel->m_h_Section, io_px_Channel->m_ul_SectionSize);
}

// A handle duplicated into another process; closed there again unless Keep() is called.
class CRemoteHandle {
public:
    CRemoteHandle(HANDLE i_h_Process, HANDLE i_h_Source, DWORD i_ul_Access)
        : m_h_Process(i_h_Process) {
        if (i_h_Process == nullptr || i_h_Source == nullptr ||
            !DuplicateHandle(GetCurrentProcess(), i_h_Source, i_h_Process, &m_h_Remote, i_ul_Access,
                             FALSE, 0)) {
            m_h_Remote = nullptr;
        }
    }
    ~CRemoteHandle() {
        // Wine refuses DUPLICATE_CLOSE_SOURCE without a target process; taking the handle
        // over into this process and closing it here works everywhere.
        HANDLE l_h_Local = nullptr;
        if (m_h_Remote != nullptr &&
            DuplicateHandle(m_h_Process, m_h_Remote, GetCurrentProcess(), &l_h_Local, 0, FALSE,
                            DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
            CloseHandle(l_h_Local);
        }
    }
    CRemoteHandle(const CRemoteHandle&) = delete;
    CRemoteHandle& operator=(const CRemoteHandle&) = delete;

    // The reply carries 32 bits of each handle; handle values are small, but a value that
    // does not fit would reach the client as some other handle.
    bool IsUsable() const {
        return m_h_Remote != nullptr && (reinterpret_cast<uintptr_t>(m_h_Remote) >> 32) == 0;
    }
    uint32_t Value() const {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(m_h_Remote));
    }
    void Keep() { m_h_Remote = nullptr; }

private:
    HANDLE m_h_Process;
    HANDLE m_h_Remote = nullptr;
};

// A service that cannot give a channel (all of them in use, say) answers the request with a
// 7-byte status response, its head 00 00 07: the caller is told why. Any other reply that is
// not a channel stays a channel error.
int32_t RefusalStatus(const uint8_t* i_puc_Reply, uint32_t i_ul_Length) {
    if (i_ul_Length == 7 && i_puc_Reply[0] == 0x00 && i_puc_Reply[1] == 0x00 &&
        i_puc_Reply[2] == TOOLSHARE_PRIVATE_REQUEST_COMMAND) {
        const int32_t l_i_Status = static_cast<int32_t>(GetBe32(i_puc_Reply + 3));
        if (l_i_Status < 0) {
            return l_i_Status;
        }
    }
    return TULVO_TS_CHANNEL_ERROR;
}

HANDLE WidenHandle(uint32_t i_ul_Value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(i_ul_Value));
}

} // namespace

int32_t ToolShare_Init(void) {
    // Touching the registry loads ADVAPI32, where the security functions are looked up.
    HKEY l_h_Key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, nullptr, &l_h_Key) == ERROR_SUCCESS) {
        RegCloseKey(l_h_Key);
    }
    return TULVO_OK;
}

int32_t ToolShare_InitializeWaitEvent(HANDLE* io_ph_Event) {
    if (io_ph_Event == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    *io_ph_Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return TULVO_OK;
}

int32_t ToolShare_CloseWaitEvent(HANDLE* io_ph_Event) {
    if (io_ph_Event == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    CloseAndClear(io_ph_Event);
    return TULVO_OK;
}

int32_t ToolShare_Close(ToolShare_Channel* io_px_Channel) {
    if (io_px_Channel == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    if (io_px_Channel->m_puc_View != nullptr) {
        UnmapViewOfFile(io_px_Channel->m_puc_View);
    }
    CloseAndClear(&io_px_Channel->m_h_Peer);
    CloseAndClear(&io_px_Channel->m_h_Running);
    CloseAndClear(&io_px_Channel->m_h_Incoming);
    CloseAndClear(&io_px_Channel->m_h_Outgoing);
    CloseAndClear(&io_px_Channel->m_h_Section);
    CloseAndClear(&io_px_Channel->m_h_Lock);
    memset(io_px_Channel, 0, sizeof(*io_px_Channel));
    return TULVO_OK;
}

int32_t ToolShareSrv_NeedAccept(int* o_pi_NeedAccept) {
    if (o_pi_NeedAccept == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    *o_pi_NeedAccept = 0;
    return TULVO_OK;
}

int32_t ToolShareSrv_PublicListen(const ToolShare_Param* i_px_Param,
                                  ToolShare_Channel* io_px_Channel) {
    if (i_px_Param == nullptr || io_px_Channel == nullptr || HoldsChannel(io_px_Channel)) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    bool l_b_Global = ToolShare_UseGlobalNames();
    int32_t l_i_Status = ToolShare_CreateChannel(
        &io_px_Channel->m_h_Peer, &io_px_Channel->m_h_Running, &io_px_Channel->m_h_Incoming,
        &io_px_Channel->m_h_Outgoing, &io_px_Channel->m_h_Section, &io_px_Channel->m_ul_SectionSize,
        i_px_Param->m_pc_BaseName, i_px_Param->m_ul_SectionSize);
    if (l_i_Status == TULVO_OK) {
        MapRecordView(io_px_Channel);
        char l_ac_Name[TOOLSHARE_NAME_SIZE];
        if (FormatObjectName(l_ac_Name, l_b_Global, i_px_Param->m_pc_BaseName, ":Lock")) {
            io_px_Channel->m_h_Lock = CreateMutexA(nullptr, FALSE, l_ac_Name);
        }
        if (io_px_Channel->m_h_Lock != nullptr) {
            ToolShare_SetObjectDacl(io_px_Channel->m_h_Lock, TOOLSHARE_LOCK_ACCESS);
            ToolShare_SetLowIntegrityLabel(io_px_Channel->m_h_Lock);
        }
        if (io_px_Channel->m_h_Running != nullptr) {
            SetEvent(io_px_Channel->m_h_Running);
        }
    }
    io_px_Channel->m_ul_ProcessId = GetCurrentProcessId();
    return l_i_Status;
}

int32_t ToolShareSrv_IsPrivateConnectRequest(const uint8_t* i_puc_Request, uint32_t i_ul_Length) {
    if (i_puc_Request == nullptr || i_ul_Length == 0) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    if (i_ul_Length == TOOLSHARE_PRIVATE_REQUEST_LENGTH && i_puc_Request[0] == 0x00 &&
        i_puc_Request[1] == 0x00 && i_puc_Request[2] == TOOLSHARE_PRIVATE_REQUEST_COMMAND) {
        return TULVO_OK;
    }
    return TULVO_TS_CHANNEL_ERROR;
}

void ToolShare_BuildPrivateConnectRequest(uint8_t o_auc_Request[TOOLSHARE_PRIVATE_REQUEST_LENGTH],
                                          uint32_t i_ul_ProcessId) {
    memset(o_auc_Request, 0, TOOLSHARE_PRIVATE_REQUEST_LENGTH);
    o_auc_Request[2] = TOOLSHARE_PRIVATE_REQUEST_COMMAND;
    PutBe32(o_auc_Request + 3, i_ul_ProcessId);
}

// A client whose process cannot be opened, or into which a handle cannot be duplicated, is
// refused (TULVO_TS_PEER_LOST, no reply; the public server answers with a status response):
// zero handle values would leave the client with a channel that fails in obscure ways, and a
// private channel without the client's process handle would never see its client go away.
// A failed reply write is refused the same way, so that neither process keeps handles of a
// channel nobody serves.
int32_t ToolShareSrv_CreatePrivateConnect(const ToolShare_Param* i_px_Param,
                                          ToolShare_Channel* o_px_Private,
                                          ToolShare_Channel* io_px_Public,
                                          const uint8_t* i_puc_Request, uint32_t i_ul_Length,
                                          HANDLE i_h_Cancel, uint32_t i_ul_Timeout,
                                          ToolShare_PrivateReply* o_px_Reply) {
    if (o_px_Reply != nullptr) {
        memset(o_px_Reply, 0, sizeof(*o_px_Reply));
    }
    if (i_px_Param == nullptr || o_px_Private == nullptr || io_px_Public == nullptr ||
        i_puc_Request == nullptr || i_ul_Length < 7 || HoldsChannel(o_px_Private)) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    ToolShare_Channel l_x_Private = {};
    int32_t l_i_Status = ToolShare_CreateChannel(
        &l_x_Private.m_h_Peer, &l_x_Private.m_h_Running, &l_x_Private.m_h_Incoming,
        &l_x_Private.m_h_Outgoing, &l_x_Private.m_h_Section, &l_x_Private.m_ul_SectionSize, nullptr,
        i_px_Param->m_ul_SectionSize);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    l_x_Private.m_ul_ProcessId = GetBe32(i_puc_Request + 3);

    CScopedHandle l_x_Client(
        OpenProcess(SYNCHRONIZE | PROCESS_DUP_HANDLE, FALSE, l_x_Private.m_ul_ProcessId));
    if (!l_x_Client.IsValid()) {
        TraceLog_SysError("ToolShareSrv_CreatePrivateConnect: OpenProcess");
        ToolShare_Close(&l_x_Private);
        return TULVO_TS_PEER_LOST;
    }
    HANDLE l_h_Peer = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), l_x_Client.Get(), GetCurrentProcess(), &l_h_Peer, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
        TraceLog_SysError("ToolShareSrv_CreatePrivateConnect: DuplicateHandle");
        ToolShare_Close(&l_x_Private);
        return TULVO_TS_PEER_LOST;
    }
    l_x_Private.m_h_Peer = l_h_Peer;

    // Each handle gets what the client needs of it and no more: the client only waits on the
    // service and on Running, signals the two events and maps the section.
    CRemoteHandle l_x_Service(l_x_Client.Get(), GetCurrentProcess(), SYNCHRONIZE);
    CRemoteHandle l_x_Running(l_x_Client.Get(), io_px_Public->m_h_Running, SYNCHRONIZE);
    CRemoteHandle l_x_Send(l_x_Client.Get(), l_x_Private.m_h_Outgoing,
                           SYNCHRONIZE | EVENT_MODIFY_STATE);
    CRemoteHandle l_x_Recv(l_x_Client.Get(), l_x_Private.m_h_Incoming,
                           SYNCHRONIZE | EVENT_MODIFY_STATE);
    CRemoteHandle l_x_Section(l_x_Client.Get(), l_x_Private.m_h_Section,
                              FILE_MAP_READ | FILE_MAP_WRITE);
    // A public record without Running (tolerated by the channel) sends no Running handle.
    bool l_b_RunningOk = io_px_Public->m_h_Running == nullptr || l_x_Running.IsUsable();
    if (!l_x_Service.IsUsable() || !l_b_RunningOk || !l_x_Send.IsUsable() || !l_x_Recv.IsUsable() ||
        !l_x_Section.IsUsable()) {
        TraceLog_SysError("ToolShareSrv_CreatePrivateConnect: DuplicateHandle");
        ToolShare_Close(&l_x_Private);
        return TULVO_TS_PEER_LOST;
    }

    uint8_t l_auc_Reply[TOOLSHARE_PRIVATE_REPLY_LENGTH];
    PutBe32(l_auc_Reply + 0, l_x_Service.Value());
    PutBe32(l_auc_Reply + 4, l_x_Running.Value());
    PutBe32(l_auc_Reply + 8, l_x_Send.Value());
    PutBe32(l_auc_Reply + 12, l_x_Recv.Value());
    PutBe32(l_auc_Reply + 16, l_x_Section.Value());
    PutBe32(l_auc_Reply + 20, l_x_Private.m_ul_SectionSize);

    // The client process stays open until the duplicates are kept or, after a failed write,
    // closed in the client again by the destructors above.
    l_i_Status = ToolShare_WriteLenDataAndData(io_px_Public, l_auc_Reply, sizeof(l_auc_Reply),
                                               i_h_Cancel, i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        ToolShare_Close(&l_x_Private);
        return l_i_Status;
    }
    l_x_Service.Keep();
    l_x_Running.Keep();
    l_x_Send.Keep();
    l_x_Recv.Keep();
    l_x_Section.Keep();
    MapRecordView(&l_x_Private);
    *o_px_Private = l_x_Private;
    if (o_px_Reply != nullptr) {
        for (uint32_t l_ul_Index = 0; l_ul_Index < TOOLSHARE_PRIVATE_REPLY_HANDLES; ++l_ul_Index) {
            o_px_Reply->m_aul_Handle[l_ul_Index] = GetBe32(l_auc_Reply + 4 * l_ul_Index);
        }
    }
    return TULVO_OK;
}

void ToolShareSrv_WithdrawPrivateConnect(const ToolShare_Channel* i_px_Private,
                                         const ToolShare_PrivateReply* i_px_Reply) {
    if (i_px_Private == nullptr || i_px_Reply == nullptr || i_px_Private->m_h_Peer == nullptr) {
        return;
    }
    typedef BOOL(WINAPI * PF_CompareObjectHandles)(HANDLE, HANDLE);
    static const PF_CompareObjectHandles s_pf_Compare = [] {
        const HMODULE l_h_Module = GetModuleHandleA("kernelbase.dll");
        return l_h_Module == nullptr
                   ? nullptr
                   : reinterpret_cast<PF_CompareObjectHandles>(reinterpret_cast<void*>(
                         GetProcAddress(l_h_Module, "CompareObjectHandles")));
    }();
    const HANDLE l_h_Client = i_px_Private->m_h_Peer;
    // The channel's own three objects: a client that has not closed them has closed none.
    const struct {
        uint32_t m_ul_Index;
        HANDLE m_h_Ours;
    } l_ax_Own[] = {{2, i_px_Private->m_h_Outgoing},
                    {3, i_px_Private->m_h_Incoming},
                    {4, i_px_Private->m_h_Section}};
    bool l_b_Unchanged = i_px_Private->m_ul_ProcessId == GetCurrentProcessId();
    if (s_pf_Compare != nullptr) {
        l_b_Unchanged = true;
        for (const auto& l_x_Own : l_ax_Own) {
            HANDLE l_h_Copy = nullptr;
            if (!DuplicateHandle(l_h_Client,
                                 WidenHandle(i_px_Reply->m_aul_Handle[l_x_Own.m_ul_Index]),
                                 GetCurrentProcess(), &l_h_Copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
                l_b_Unchanged = false;
                break;
            }
            l_b_Unchanged = s_pf_Compare(l_h_Copy, l_x_Own.m_h_Ours) != FALSE;
            CloseHandle(l_h_Copy);
            if (!l_b_Unchanged) {
                break;
            }
        }
    }
    if (!l_b_Unchanged) {
        return;
    }
    // Wine refuses DUPLICATE_CLOSE_SOURCE without a target process: each handle comes over
    // into this process and is closed here.
    for (uint32_t l_ul_Value : i_px_Reply->m_aul_Handle) {
        HANDLE l_h_Local = nullptr;
        if (l_ul_Value != 0 &&
            DuplicateHandle(l_h_Client, WidenHandle(l_ul_Value), GetCurrentProcess(), &l_h_Local, 0,
                            FALSE, DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
            CloseHandle(l_h_Local);
        }
    }
}

int32_t ToolShareSrv_Close(ToolShare_Channel* io_px_Channel) {
    if (io_px_Channel == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    if (io_px_Channel->m_h_Running != nullptr) {
        ResetEvent(io_px_Channel->m_h_Running);
    }
    return ToolShare_Close(io_px_Channel);
}

int32_t ToolShareClt_PublicConnect(const ToolShare_Param* i_px_Param,
                                   ToolShare_Channel* io_px_Channel) {
    if (i_px_Param == nullptr || io_px_Channel == nullptr || HoldsChannel(io_px_Channel)) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    bool l_b_Global = ToolShare_UseGlobalNames();
    int32_t l_i_Status = ToolShare_OpenChannel(
        &io_px_Channel->m_h_Peer, &io_px_Channel->m_h_Running, &io_px_Channel->m_h_Outgoing,
        &io_px_Channel->m_h_Incoming, &io_px_Channel->m_h_Section, &io_px_Channel->m_ul_SectionSize,
        i_px_Param->m_pc_BaseName);
    if (l_i_Status == TULVO_OK) {
        MapRecordView(io_px_Channel);
        char l_ac_Name[TOOLSHARE_NAME_SIZE];
        if (FormatObjectName(l_ac_Name, l_b_Global, i_px_Param->m_pc_BaseName, ":Lock")) {
            io_px_Channel->m_h_Lock = OpenMutexA(SYNCHRONIZE, FALSE, l_ac_Name);
        }
    }
    io_px_Channel->m_ul_ProcessId = GetCurrentProcessId();
    return l_i_Status;
}

int32_t ToolShareClt_ServerOK(const ToolShare_Channel* i_px_Channel) {
    if (i_px_Channel == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    if (i_px_Channel->m_h_Running != nullptr &&
        WaitForSingleObject(i_px_Channel->m_h_Running, 0) != WAIT_OBJECT_0) {
        return TULVO_TS_SERVER_NOT_RUNNING;
    }
    if (i_px_Channel->m_h_Peer != nullptr &&
        WaitForSingleObject(i_px_Channel->m_h_Peer, 0) == WAIT_OBJECT_0) {
        return TULVO_TS_PEER_LOST;
    }
    return TULVO_OK;
}

int32_t ToolShareClt_Lock(ToolShare_Channel* io_px_Channel, uint32_t i_ul_Timeout) {
    if (io_px_Channel == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    if (io_px_Channel->m_h_Lock == nullptr) {
        return TULVO_OK;
    }
    HANDLE l_h_Lock = io_px_Channel->m_h_Lock;
    DWORD l_ul_Wait = WaitForSingleObject(l_h_Lock, i_ul_Timeout);
    if (l_ul_Wait == WAIT_ABANDONED) {
        OutputDebugStringA("WaitForSingleObject WAIT_ABANDONED\n");
        l_ul_Wait = WaitForSingleObject(l_h_Lock, i_ul_Timeout);
        BalanceAbandonedOwnership(l_h_Lock, l_ul_Wait);
    }
    switch (l_ul_Wait) {
    case WAIT_OBJECT_0:
        return TULVO_OK;
    case WAIT_TIMEOUT:
        return TULVO_TS_TIMEOUT;
    case WAIT_ABANDONED:
        return TULVO_MUTEX_ABANDONED;
    default:
        return TULVO_TS_CHANNEL_ERROR;
    }
}

int32_t ToolShareClt_Unlock(ToolShare_Channel* io_px_Channel) {
    if (io_px_Channel == nullptr) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    if (io_px_Channel->m_h_Lock != nullptr) {
        ReleaseMutex(io_px_Channel->m_h_Lock);
    }
    return TULVO_OK;
}

int32_t ToolShareClt_AcquirePrivateConnect(const ToolShare_Param* /*i_px_Param*/,
                                           ToolShare_Channel* o_px_Private,
                                           ToolShare_Channel* io_px_Public, HANDLE i_h_Cancel,
                                           uint32_t i_ul_Timeout) {
    if (o_px_Private == nullptr || io_px_Public == nullptr || HoldsChannel(o_px_Private)) {
        return TULVO_TS_BAD_ARGUMENT;
    }
    uint8_t l_auc_Request[TOOLSHARE_PRIVATE_REQUEST_LENGTH];
    ToolShare_BuildPrivateConnectRequest(l_auc_Request, io_px_Public->m_ul_ProcessId);
    int32_t l_i_Status = ToolShare_WriteLenDataAndData(
        io_px_Public, l_auc_Request, sizeof(l_auc_Request), i_h_Cancel, i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    Sleep(0);
    l_i_Status = ToolShare_WaitData(io_px_Public, i_h_Cancel, i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    uint32_t l_ul_Length = 0;
    l_i_Status = ToolShare_ReadLenData(io_px_Public, &l_ul_Length, i_h_Cancel, i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (l_ul_Length > TOOLSHARE_PRIVATE_REPLY_MAX_LENGTH) {
        return TULVO_TS_CHANNEL_ERROR;
    }
    uint8_t l_auc_Reply[TOOLSHARE_PRIVATE_REPLY_MAX_LENGTH];
    l_i_Status =
        ToolShare_ReadData(io_px_Public, l_auc_Reply, l_ul_Length, i_h_Cancel, i_ul_Timeout);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (l_ul_Length != TOOLSHARE_PRIVATE_REPLY_LENGTH) {
        return RefusalStatus(l_auc_Reply, l_ul_Length);
    }
    o_px_Private->m_h_Peer = WidenHandle(GetBe32(l_auc_Reply + 0));
    o_px_Private->m_h_Running = WidenHandle(GetBe32(l_auc_Reply + 4));
    o_px_Private->m_h_Incoming = WidenHandle(GetBe32(l_auc_Reply + 8));
    o_px_Private->m_h_Outgoing = WidenHandle(GetBe32(l_auc_Reply + 12));
    o_px_Private->m_h_Section = WidenHandle(GetBe32(l_auc_Reply + 16));
    o_px_Private->m_ul_SectionSize = GetBe32(l_auc_Reply + 20);
    o_px_Private->m_ul_ProcessId = GetCurrentProcessId();
    o_px_Private->m_h_Lock = CreateMutexA(nullptr, FALSE, nullptr);
    MapRecordView(o_px_Private);
    return TULVO_OK;
}
