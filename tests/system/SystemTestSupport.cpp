#include "tests/system/SystemTestSupport.h"

#include "ipc/client/TulvoCli.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"

#include <fstream>
#include <sstream>
#include <stdlib.h>

using tulvo_test::WaitFor;

namespace systest {

long long SResult::Number(const std::string& i_x_Name) const {
    const auto l_x_At = m_x_Fields.find(i_x_Name);
    return l_x_At == m_x_Fields.end() ? -1 : atoll(l_x_At->second.c_str());
}

std::string SResult::Text(const std::string& i_x_Name) const {
    const auto l_x_At = m_x_Fields.find(i_x_Name);
    return l_x_At == m_x_Fields.end() ? "" : l_x_At->second;
}

std::ostream& operator<<(std::ostream& io_x_Out, const SResult& i_x_Result) {
    return io_x_Out << (i_x_Result.m_b_Done ? i_x_Result.m_x_Line : "<no result>");
}

CScenarioClient::CScenarioClient(const std::string& i_x_Name) : m_x_Name(i_x_Name) {}

bool CScenarioClient::Start() {
    return m_x_Process.Start("\"" + tulvo_test::BinDirectory() + "tulvo_scenario_client.exe\"", "",
                             true);
}

int CScenarioClient::Send(const std::string& i_x_Command) {
    m_x_Process.WriteInput(i_x_Command + "\n");
    return ++m_i_Sent;
}

SResult CScenarioClient::Wait(int i_i_Number, uint32_t i_ul_Timeout) {
    const std::string l_x_Head = "\n=" + std::to_string(i_i_Number) + " ";
    SResult l_x_Result;
    // Whole lines only: the result may still be on its way through the pipe.
    WaitFor(
        [&] {
            const std::string l_x_Output = "\n" + m_x_Process.Output();
            const size_t l_st_At = l_x_Output.find(l_x_Head);
            const size_t l_st_End =
                l_st_At == std::string::npos ? l_st_At : l_x_Output.find('\n', l_st_At + 1);
            if (l_st_End != std::string::npos) {
                l_x_Result.m_x_Line = l_x_Output.substr(l_st_At + 1, l_st_End - l_st_At - 1);
            }
            return !l_x_Result.m_x_Line.empty();
        },
        i_ul_Timeout);
    if (l_x_Result.m_x_Line.empty()) {
        return l_x_Result;
    }
    std::istringstream l_x_In(l_x_Result.m_x_Line);
    std::string l_x_Number, l_x_Verb;
    l_x_In >> l_x_Number >> l_x_Verb >> l_x_Result.m_i_Status;
    for (std::string l_x_Word; l_x_In >> l_x_Word;) {
        const size_t l_st_Equal = l_x_Word.find('=');
        if (l_st_Equal != std::string::npos) {
            l_x_Result.m_x_Fields[l_x_Word.substr(0, l_st_Equal)] = l_x_Word.substr(l_st_Equal + 1);
        }
    }
    l_x_Result.m_b_Done = true;
    return l_x_Result;
}

SResult CScenarioClient::Stop(int i_i_Number, uint32_t i_ul_Timeout) {
    m_x_Process.WriteInput("stop\n");
    return Wait(i_i_Number, i_ul_Timeout);
}

bool CScenarioClient::Quit(uint32_t i_ul_Timeout) {
    Send("quit");
    return m_x_Process.WaitForExit(i_ul_Timeout) && m_x_Process.ExitCode() == 0;
}

bool IsDeviceGoneStatus(int32_t i_i_Status) {
    // TULVO_BAD_PARAMETER: a command other than LOCKPIPE on a channel whose device entry is
    // empty, the status TulvoServ_GetPipe gives. TULVO_DATA_TOO_LARGE: the status of every
    // failed serial write, here a write on the port of a sensor pulled under it.
    return i_i_Status == TULVO_BAD_PARAMETER || i_i_Status == TULVO_DATA_TOO_LARGE ||
           i_i_Status == TULVO_ABORTED || i_i_Status == TULVO_DEVICE_NOT_PRESENT ||
           i_i_Status == TULVO_NO_RESPONSE || i_i_Status == TULVO_PORT_NOT_OPEN ||
           i_i_Status == TULVO_PORT_ERROR || i_i_Status == TULVO_TIMEOUT;
}

void SystemScenario::SetUp() {
    ServerTest::SetUp();
    // The service writes the trace log, in its working directory; this process does not.
    m_px_Log.reset();
    m_x_Dir.Enter();
    std::ofstream l_x_Marker(m_x_Dir.Path() + "\\Serv_Tulvo.Log");
}

void SystemScenario::TearDown() {
    for (std::unique_ptr<CScenarioClient>& l_px_Client : m_apx_Clients) {
        if (HasFailure()) {
            printf("---- client %s\n%s", l_px_Client->Name().c_str(),
                   l_px_Client->Output().c_str());
        }
        l_px_Client->Kill();
    }
    m_apx_Clients.clear();
    if (m_x_Service.IsRunning()) {
        EXPECT_TRUE(m_x_Service.Stop(srvtest::LONG_WAIT_MS));
    }
    if (HasFailure()) {
        const std::string l_x_Trace = tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log");
        printf("---- service trace log (last 6000 bytes)\n%s\n",
               l_x_Trace.substr(l_x_Trace.size() > 6000 ? l_x_Trace.size() - 6000 : 0).c_str());
    }
    ServerTest::TearDown();
    m_x_Dir.Leave();
}

void SystemScenario::StartService() {
    ASSERT_TRUE(m_x_Service.Start(m_x_Dir.Path()));
    ASSERT_TRUE(m_x_Service.WaitForOutput("..Started", srvtest::LONG_WAIT_MS))
        << m_x_Service.Output();
}

uint32_t SystemScenario::StopService(uint32_t i_ul_Limit) {
    const ULONGLONG l_ull_Start = GetTickCount64();
    EXPECT_TRUE(m_x_Service.Stop(i_ul_Limit))
        << "the service did not stop within " << i_ul_Limit << " ms";
    return static_cast<uint32_t>(GetTickCount64() - l_ull_Start);
}

std::vector<std::string> SystemScenario::AddSensors(int i_i_Count) {
    std::vector<std::string> l_ax_Serials;
    for (int l_i = 0; l_i < i_i_Count; ++l_i) {
        l_ax_Serials.push_back(AddSensor());
    }
    return l_ax_Serials;
}

std::set<std::string> ListedSerials() {
    TulvoCli_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    std::set<std::string> l_x_Serials;
    if (TulvoCli_EnumDevices(&l_px_List, &l_ul_Count) == TULVO_OK) {
        for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
            l_x_Serials.insert(reinterpret_cast<char*>(l_px_List[l_ul_Index].m_puc_SerialNumber));
        }
    }
    TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);
    return l_x_Serials;
}

std::set<std::string> SystemScenario::Listed() {
    return ListedSerials();
}

bool SystemScenario::WaitListed(const std::set<std::string>& i_x_Serials) {
    return WaitFor([&] { return Listed() == i_x_Serials; }, srvtest::LONG_WAIT_MS);
}

CScenarioClient& SystemScenario::NewClient(const std::string& i_x_Name) {
    m_apx_Clients.emplace_back(new CScenarioClient(i_x_Name));
    EXPECT_TRUE(m_apx_Clients.back()->Start()) << i_x_Name;
    return *m_apx_Clients.back();
}

int SystemScenario::DevTree(const std::string& i_x_Arguments) {
    DWORD l_ul_Exit = 0;
    tulvo_test::RunToEnd("\"" + tulvo_test::BinDirectory() + "tulvo_devtree.exe\" " + i_x_Arguments,
                         "", srvtest::LONG_WAIT_MS * 2, &l_ul_Exit);
    return static_cast<int>(l_ul_Exit);
}

int SystemScenario::TraceCount(const std::string& i_x_Text) {
    const std::string l_x_Trace = tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log");
    int l_i_Count = 0;
    for (size_t l_st_At = l_x_Trace.find(i_x_Text); l_st_At != std::string::npos;
         l_st_At = l_x_Trace.find(i_x_Text, l_st_At + 1)) {
        ++l_i_Count;
    }
    return l_i_Count;
}

bool SystemScenario::WaitTrace(const std::string& i_x_Text, int i_i_Count) {
    return WaitFor([&] { return TraceCount(i_x_Text) >= i_i_Count; }, srvtest::LONG_WAIT_MS);
}

int SystemScenario::FreeChannels() {
    srvtest::CRawClient l_x_Public;
    if (l_x_Public.Connect() != TULVO_OK || l_x_Public.Lock() != TULVO_OK) {
        return -1;
    }
    srvtest::Bytes l_x_Response;
    const int32_t l_i_Status = l_x_Public.Exchange(
        srvtest::ServerInfosRequest(SERVERINFOS_TYPE_CHANNELS, 0), &l_x_Response);
    l_x_Public.Unlock();
    const srvtest::Bytes l_x_Data = srvtest::DataOf(l_x_Response);
    if (l_i_Status != TULVO_OK || srvtest::StatusOf(l_x_Response) != TULVO_OK ||
        l_x_Data.size() < 4) {
        return -1;
    }
    // The service has 100 private channels.
    return 100 - static_cast<int>(GestIpc_GetU32(l_x_Data.data()));
}

} // namespace systest
