#include "tests/device/monitor/MonitorTestSupport.h"

#include "ipc/protocol/TulvoStatus.h"
#include "tests/device/link/IlvRecord.h"
#include "tools/devtree/DevTree.h"

#include <stdio.h>
#include <string.h>

using tulvo_test::CTraceCapture;
using tulvo_test::WaitFor;

namespace monitor_test {

namespace {

const char g_ac_ClientClass[] = "TulvoMonitorTestClient";

std::string InstanceId(int i_i_Com) {
    return "USB\\VID_2F3A&PID_0101\\" MONITOR_TEST_TAG "U" + std::to_string(i_i_Com);
}

void AddToTree(int i_i_Com, const std::string& i_x_Port) {
    DevTree_Device l_x_Device;
    l_x_Device.m_x_InstanceId = InstanceId(i_i_Com);
    l_x_Device.m_x_PortName = i_x_Port;
    std::string l_x_Error;
    ASSERT_EQ(DEVTREE_OK, DevTree_Add(l_x_Device, true, &l_x_Error)) << l_x_Error;
}

} // namespace

void MonitorTest::SetUp() {
    int l_i_Stale = 0;
    DevTree_RemoveMatching(MONITOR_TEST_TAG, &l_i_Stale, nullptr);
    m_b_HaveSim = m_x_Sim.Connect();
    m_px_Log.reset(new tulvo_test::CTraceCapture);
    TulvoHideDlg_SetWakeUpTimes(USER_TIMER_MAXIMUM, LONG_WAIT_MS);
}

void MonitorTest::TearDown() {
    Close();
    if (HasFailure()) {
        printf("---- trace log\n%s", CTraceCapture::Text().c_str());
    }
    m_px_Log.reset();
    for (int l_i_Com : m_ai_Sensors) {
        Sim("remove s" + std::to_string(l_i_Com));
    }
    int l_i_Removed = 0;
    DevTree_RemoveMatching(MONITOR_TEST_TAG, &l_i_Removed, nullptr);
    TulvoHideDlg_SetWakeUpTimes(HIDEDLG_WAKEUP_TIMER_MS, HIDEDLG_WAKEUP_WAIT_MS);
}

std::string MonitorTest::Sim(const std::string& i_x_Line) {
    return m_b_HaveSim ? m_x_Sim.Command(i_x_Line) : "err no simulator";
}

void MonitorTest::AnswerSerialNumber(int i_i_Com) {
    // Status 0, three unused bytes, the text.
    const std::string l_x_Value = std::string(4, '\0') + Reported(i_i_Com) + std::string(21, '\0');
    std::string l_x_Frame = "frame s" + std::to_string(i_i_Com) + " ";
    for (uint8_t l_uc_Byte : tulvo_test::IlvRecord(ILV_GET_SERIAL_NUMBER,
                                                   {l_x_Value.begin(), l_x_Value.begin() + 25})) {
        l_x_Frame += {"0123456789ABCDEF"[l_uc_Byte >> 4], "0123456789ABCDEF"[l_uc_Byte & 15]};
    }
    EXPECT_EQ("ok", Sim("silent s" + std::to_string(i_i_Com) + " off"));
    EXPECT_EQ("ok", Sim(l_x_Frame));
}

std::string MonitorTest::Add(int i_i_Com, bool i_b_Pty) {
    if (i_b_Pty) {
        EXPECT_TRUE(m_b_HaveSim) << "TULVO_SIM_PORT must name the simulator's port";
        const std::string l_x_Com = std::to_string(i_i_Com);
        EXPECT_EQ("ok", Sim("add s" + l_x_Com + " com" + l_x_Com + " " + Reported(i_i_Com)));
        m_ai_Sensors.push_back(i_i_Com);
    }
    AddToTree(i_i_Com, Port(i_i_Com));
    return Port(i_i_Com);
}

void MonitorTest::Plug(int i_i_Com) {
    AddToTree(i_i_Com, Port(i_i_Com));
    Sim("plug s" + std::to_string(i_i_Com));
    Notify(true, Port(i_i_Com));
}

void MonitorTest::Unplug(int i_i_Com) {
    Sim("unplug s" + std::to_string(i_i_Com));
    Notify(false, Port(i_i_Com));
    DevTree_Remove(InstanceId(i_i_Com), nullptr);
}

void MonitorTest::Notify(bool i_b_Arrival, const std::string& i_x_Port) {
    ASSERT_NE(nullptr, m_px_HideDlg);
    EXPECT_EQ(DEVTREE_OK,
              DevTree_SendPortEvent(m_px_HideDlg->GetWindow(), i_b_Arrival, i_x_Port, 60000));
}

void MonitorTest::Open() {
    const int l_i_Started = CTraceCapture::Count("CHideDlg::Thread Starting Monitor\n");
    m_px_HideDlg = TulvoServ_OpenHideDlg(1);
    ASSERT_NE(nullptr, m_px_HideDlg);
    ASSERT_TRUE(WaitFor(
        [&] { return CTraceCapture::Count("CHideDlg::Thread Starting Monitor\n") > l_i_Started; },
        LONG_WAIT_MS));
}

void MonitorTest::FireWakeUpTimer() {
    SendMessageA(m_px_HideDlg->GetWindow(), WM_TIMER, HIDEDLG_WAKEUP_TIMER_ID, 0);
}

void MonitorTest::Close() {
    TulvoServ_CloseHideDlg();
    m_px_HideDlg = nullptr;
}

std::vector<std::string> MonitorTest::Listed(int32_t* o_pi_Status) {
    TulvoEnum_DeviceProperties* l_px_List = nullptr;
    int32_t l_i_Count = 0;
    const int32_t l_i_Status = TulvoServ_EnumDevices(&l_px_List, &l_i_Count);
    if (o_pi_Status != nullptr) {
        *o_pi_Status = l_i_Status;
    } else {
        EXPECT_EQ(TULVO_OK, l_i_Status);
    }
    std::vector<std::string> l_ax_Serials;
    for (int32_t l_i = 0; l_i < l_i_Count; ++l_i) {
        const char* l_pc_Serial = reinterpret_cast<const char*>(l_px_List[l_i].m_puc_SerialNumber);
        if (l_pc_Serial != nullptr && strncmp(l_pc_Serial, MONITOR_TEST_TAG, 6) == 0) {
            l_ax_Serials.push_back(l_pc_Serial);
        }
    }
    TulvoServ_FreeDeviceList(&l_px_List, l_i_Count);
    return l_ax_Serials;
}

CWaitingClient::CWaitingClient(std::function<int32_t()> i_x_Call) : m_x_Call(std::move(i_x_Call)) {
    m_x_Thread = std::thread([this] {
        WNDCLASSA l_x_Class;
        memset(&l_x_Class, 0, sizeof(l_x_Class));
        l_x_Class.lpfnWndProc = WindowProc;
        l_x_Class.hInstance = GetModuleHandleA(nullptr);
        l_x_Class.lpszClassName = g_ac_ClientClass;
        RegisterClassA(&l_x_Class);
        const HWND l_h_Window = CreateWindowExA(0, g_ac_ClientClass, "", 0, 0, 0, 0, 0,
                                                HWND_MESSAGE, nullptr, l_x_Class.hInstance, this);
        SetWindowLongPtrA(l_h_Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        m_h_Window = l_h_Window;
        m_i_Status = m_x_Call();
        m_b_Done = true;
        DestroyWindow(l_h_Window);
    });
}

CWaitingClient::~CWaitingClient() {
    Join();
}

LRESULT CALLBACK CWaitingClient::WindowProc(HWND i_h_Window, UINT i_ui_Message, WPARAM i_x_WParam,
                                            LPARAM i_x_LParam) {
    if (i_ui_Message == WM_APP) {
        CWaitingClient* l_px_Client =
            reinterpret_cast<CWaitingClient*>(GetWindowLongPtrA(i_h_Window, GWLP_USERDATA));
        ++l_px_Client->m_i_Dispatched;
    }
    return DefWindowProcA(i_h_Window, i_ui_Message, i_x_WParam, i_x_LParam);
}

bool CWaitingClient::WaitUntilWaiting(uint32_t i_ul_Ms) {
    if (!WaitFor([&] { return m_h_Window.load() != nullptr; }, i_ul_Ms)) {
        return false;
    }
    PostMessageA(m_h_Window, WM_APP, 0, 0);
    WaitFor([&] { return m_i_Dispatched > 0 || m_b_Done; }, i_ul_Ms);
    return m_i_Dispatched > 0;
}

int32_t CWaitingClient::Join() {
    if (m_x_Thread.joinable()) {
        m_x_Thread.join();
    }
    return m_i_Status;
}

} // namespace monitor_test
