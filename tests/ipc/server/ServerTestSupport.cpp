#include "tests/ipc/server/ServerTestSupport.h"

#include "device/monitor/HideDlg.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcPublic.h"
#include "ipc/server/GestIpcServer.h"
#include "tests/device/link/IlvRecord.h"
#include "tools/devtree/DevTree.h"

#include <stdio.h>

using tulvo_test::CTraceCapture;
using tulvo_test::WaitFor;

namespace srvtest {

namespace {

const char g_ac_BaseName[] = "VEK_TulvoServer";

HANDLE Widen(const Bytes& i_x_Reply, size_t i_st_Offset) {
    const uint32_t l_ul_Value =
        (uint32_t(i_x_Reply[i_st_Offset]) << 24) | (uint32_t(i_x_Reply[i_st_Offset + 1]) << 16) |
        (uint32_t(i_x_Reply[i_st_Offset + 2]) << 8) | uint32_t(i_x_Reply[i_st_Offset + 3]);
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(l_ul_Value));
}

} // namespace

Bytes operator+(Bytes i_x_Left, const Bytes& i_x_Right) {
    i_x_Left.insert(i_x_Left.end(), i_x_Right.begin(), i_x_Right.end());
    return i_x_Left;
}

Bytes Be32(uint32_t i_ul_Value) {
    return {uint8_t(i_ul_Value >> 24), uint8_t(i_ul_Value >> 16), uint8_t(i_ul_Value >> 8),
            uint8_t(i_ul_Value)};
}

Bytes Text(const std::string& i_x_Text) {
    Bytes l_x_Bytes(i_x_Text.begin(), i_x_Text.end());
    l_x_Bytes.push_back(0);
    return l_x_Bytes;
}

Bytes Head(uint8_t i_uc_Command) {
    return {0x01, 0x00, i_uc_Command};
}

Bytes EnumDevicesRequest() {
    return Head(0x08);
}

Bytes ServerInfosRequest(uint32_t i_ul_InfoType, uint32_t i_ul_Value) {
    return Head(0x09) + Be32(0) + Be32(i_ul_InfoType) + Be32(i_ul_Value);
}

Bytes LinkRequest(uint8_t i_uc_Pipe, const std::string& i_x_Key) {
    return Head(0x10) + Bytes{i_uc_Pipe} + Text(i_x_Key);
}

Bytes LockRequest(uint32_t i_ul_Timeout) {
    return Head(0x11) + Be32(i_ul_Timeout);
}

Bytes UnlockRequest() {
    return Head(0x12);
}

Bytes SendRequest(uint32_t i_ul_Timeout, const Bytes& i_x_Frame) {
    return Head(0x13) + Be32(i_ul_Timeout) + Be32(static_cast<uint32_t>(i_x_Frame.size())) +
           i_x_Frame;
}

Bytes RecvRequest(uint32_t i_ul_Timeout) {
    return Head(0x14) + Be32(i_ul_Timeout);
}

Bytes RebootRequest(uint32_t i_ul_WriteTimeout, uint32_t i_ul_RebootWait, const Bytes& i_x_Frame) {
    return Head(0x15) + Be32(i_ul_WriteTimeout) + Be32(i_ul_RebootWait) +
           Be32(static_cast<uint32_t>(i_x_Frame.size())) + i_x_Frame;
}

Bytes DestroyRequest() {
    return Head(0x16) + Bytes(20, 0);
}

Bytes StatusResponse(uint8_t i_uc_Command, int32_t i_i_Status) {
    return Head(i_uc_Command) + Be32(static_cast<uint32_t>(i_i_Status));
}

int32_t StatusOf(const Bytes& i_x_Response) {
    if (i_x_Response.size() < 7) {
        return INT32_MIN;
    }
    return static_cast<int32_t>((uint32_t(i_x_Response[3]) << 24) |
                                (uint32_t(i_x_Response[4]) << 16) |
                                (uint32_t(i_x_Response[5]) << 8) | uint32_t(i_x_Response[6]));
}

Bytes DataOf(const Bytes& i_x_Response) {
    if (i_x_Response.size() < 11) {
        return {};
    }
    return Bytes(i_x_Response.begin() + 11, i_x_Response.end());
}

Bytes EchoFrame(size_t i_st_ValueSize, uint32_t i_ul_Seed) {
    return tulvo_test::IlvRecord(0x0F00, tulvo_test::Pattern(i_st_ValueSize, i_ul_Seed));
}

Bytes RestartFrame(uint32_t i_ul_BackAfterMs) {
    return tulvo_test::IlvRecord(0x0F01, {uint8_t(i_ul_BackAfterMs), uint8_t(i_ul_BackAfterMs >> 8),
                                          uint8_t(i_ul_BackAfterMs >> 16),
                                          uint8_t(i_ul_BackAfterMs >> 24)});
}

CRawChannel::~CRawChannel() {
    Close();
}

void CRawChannel::Close() {
    ToolShare_Close(&m_x_Channel);
}

int32_t CRawChannel::Write(const Bytes& i_x_Message, uint32_t i_ul_Timeout) {
    return ToolShare_WriteLenDataAndData(&m_x_Channel, i_x_Message.data(),
                                         static_cast<uint32_t>(i_x_Message.size()), nullptr,
                                         i_ul_Timeout);
}

int32_t CRawChannel::Read(Bytes* o_px_Message, uint32_t i_ul_Timeout) {
    o_px_Message->clear();
    int32_t l_i_Status = ToolShare_WaitData(&m_x_Channel, nullptr, i_ul_Timeout);
    uint32_t l_ul_Length = 0;
    if (l_i_Status == TULVO_OK) {
        l_i_Status = ToolShare_ReadLenData(&m_x_Channel, &l_ul_Length, nullptr, i_ul_Timeout);
    }
    if (l_i_Status == TULVO_OK) {
        o_px_Message->resize(l_ul_Length);
        l_i_Status = ToolShare_ReadData(&m_x_Channel, o_px_Message->data(), l_ul_Length, nullptr,
                                        i_ul_Timeout);
    }
    return l_i_Status;
}

int32_t CRawChannel::Exchange(const Bytes& i_x_Request, Bytes* o_px_Response,
                              uint32_t i_ul_Timeout) {
    o_px_Response->clear();
    const int32_t l_i_Status = Write(i_x_Request, i_ul_Timeout);
    return l_i_Status != TULVO_OK ? l_i_Status : Read(o_px_Response, i_ul_Timeout);
}

Bytes CRawChannel::Ask(const Bytes& i_x_Request, uint32_t i_ul_Timeout) {
    Bytes l_x_Response;
    EXPECT_EQ(TULVO_OK, Exchange(i_x_Request, &l_x_Response, i_ul_Timeout));
    return l_x_Response;
}

int32_t CRawClient::Connect(uint32_t i_ul_Timeout) {
    const ToolShare_Param l_x_Param = {g_ac_BaseName, TOOLSHARE_DEFAULT_SECTION_SIZE};
    const ULONGLONG l_ull_End = GetTickCount64() + i_ul_Timeout;
    for (;;) {
        Close();
        int32_t l_i_Status = ToolShareClt_PublicConnect(&l_x_Param, &m_x_Channel);
        if (l_i_Status == TULVO_OK) {
            l_i_Status = ToolShareClt_ServerOK(&m_x_Channel);
        }
        if (l_i_Status == TULVO_OK || GetTickCount64() > l_ull_End) {
            return l_i_Status;
        }
        Sleep(10);
    }
}

int32_t CRawClient::Lock(uint32_t i_ul_Timeout) {
    return ToolShareClt_Lock(&m_x_Channel, i_ul_Timeout);
}

void CRawClient::Unlock() {
    ToolShareClt_Unlock(&m_x_Channel);
}

int32_t CRawClient::OpenPrivate(CRawChannel* o_px_Private, uint32_t i_ul_ProcessId) {
    o_px_Private->Close();
    const Bytes l_x_Request = Bytes{0x00, 0x00, 0x07} + Be32(i_ul_ProcessId) + Bytes(8, 0);
    Bytes l_x_Reply;
    const int32_t l_i_Status = Exchange(l_x_Request, &l_x_Reply);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (l_x_Reply.size() != 24) {
        return StatusOf(l_x_Reply);
    }
    ToolShare_Channel* const l_px_Channel = o_px_Private->Get();
    l_px_Channel->m_h_Peer = Widen(l_x_Reply, 0);
    l_px_Channel->m_h_Running = Widen(l_x_Reply, 4);
    l_px_Channel->m_h_Incoming = Widen(l_x_Reply, 8);
    l_px_Channel->m_h_Outgoing = Widen(l_x_Reply, 12);
    l_px_Channel->m_h_Section = Widen(l_x_Reply, 16);
    l_px_Channel->m_ul_SectionSize = (uint32_t(l_x_Reply[20]) << 24) |
                                     (uint32_t(l_x_Reply[21]) << 16) |
                                     (uint32_t(l_x_Reply[22]) << 8) | uint32_t(l_x_Reply[23]);
    l_px_Channel->m_ul_ProcessId = GetCurrentProcessId();
    return TULVO_OK;
}

int32_t OpenPrivateChannel(CRawChannel* o_px_Private) {
    CRawClient l_x_Client;
    int32_t l_i_Status = l_x_Client.Connect();
    if (l_i_Status == TULVO_OK) {
        l_i_Status = l_x_Client.Lock();
    }
    if (l_i_Status == TULVO_OK) {
        l_i_Status = l_x_Client.OpenPrivate(o_px_Private);
        l_x_Client.Unlock();
    }
    return l_i_Status;
}

void ServerTest::SetUp() {
    m_px_Log.reset(new CTraceCapture);
    int l_i_Stale = 0;
    DevTree_RemoveMatching(SERVER_TEST_TAG, &l_i_Stale, nullptr);
    m_b_HaveSim = m_x_Sim.Connect();
}

void ServerTest::TearDown() {
    Close();
    GestIpcServer_SetSeams(nullptr);
    if (HasFailure()) {
        printf("---- trace log\n%s", CTraceCapture::Text().c_str());
    }
    for (const std::string& l_x_Serial : m_ax_Sensors) {
        Sim("remove " + SensorName(l_x_Serial));
    }
    int l_i_Removed = 0;
    DevTree_RemoveMatching(SERVER_TEST_TAG, &l_i_Removed, nullptr);
    m_px_Log.reset();
}

void ServerTest::Open(int32_t i_i_OpenAllowed) {
    const int l_i_Started = CTraceCapture::Count("CHideDlg::Thread Starting Monitor\n");
    ASSERT_NE(nullptr, TulvoServ_OpenHideDlg(i_i_OpenAllowed));
    ASSERT_TRUE(WaitFor(
        [&] { return CTraceCapture::Count("CHideDlg::Thread Starting Monitor\n") > l_i_Started; },
        LONG_WAIT_MS));
    TulvoServ_OpenGestIpcPublic();
    m_b_Open = true;
}

void ServerTest::Close() {
    if (!m_b_Open) {
        return;
    }
    m_b_Open = false;
    TulvoServ_CloseGestIpcPublic();
    // A channel still inside a long command ends once the monitor stops its pipes.
    TulvoServ_CloseHideDlg();
    EXPECT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 0; }, LONG_WAIT_MS));
}

std::string ServerTest::SensorName(const std::string& i_x_Serial) {
    return "s" + i_x_Serial.substr(sizeof(SERVER_TEST_TAG) - 1);
}

std::string ServerTest::AddSensor() {
    EXPECT_TRUE(m_b_HaveSim) << "TULVO_SIM_PORT must name the simulator's port";
    const int l_i_Com = tulvo_test::NextComNumber();
    const std::string l_x_Serial = SERVER_TEST_TAG + std::to_string(l_i_Com);
    EXPECT_EQ("ok", Sim("add " + SensorName(l_x_Serial) + " com" + std::to_string(l_i_Com) + " " +
                        l_x_Serial));
    m_ax_Sensors.push_back(l_x_Serial);
    return l_x_Serial;
}

void ServerTest::Unplug(const std::string& i_x_Serial) {
    EXPECT_EQ("ok", Sim("unplug " + SensorName(i_x_Serial)));
}

void ServerTest::Plug(const std::string& i_x_Serial) {
    EXPECT_EQ("ok", Sim("plug " + SensorName(i_x_Serial)));
}

std::string ServerTest::Sim(const std::string& i_x_Line) {
    return m_b_HaveSim ? m_x_Sim.Command(i_x_Line) : "err no simulator";
}

} // namespace srvtest
