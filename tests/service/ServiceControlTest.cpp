// The executable as an installed service under the Service Control Manager, and the control
// handler driven directly. The service's current directory is the system directory, which is
// where its marker and trace files go.
#include "service/ServiceLifecycle.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string SystemDirectory() {
    char l_ac_Dir[MAX_PATH];
    const UINT l_ul_Len = GetSystemDirectoryA(l_ac_Dir, sizeof(l_ac_Dir));
    return std::string(l_ac_Dir, l_ul_Len);
}

void RemoveTraceFiles(const std::string& i_x_Dir) {
    std::error_code l_x_Error;
    for (const fs::directory_entry& l_x_Entry : fs::directory_iterator(i_x_Dir, l_x_Error)) {
        if (l_x_Entry.path().filename().string().rfind("Serv_Tulvo.Log", 0) == 0) {
            fs::remove(l_x_Entry.path(), l_x_Error);
        }
    }
}

class ServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_x_SystemDir = SystemDirectory();
        RemoveTraceFiles(m_x_SystemDir);
        m_h_Manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_h_Manager, nullptr) << GetLastError();
        // A service left behind by an interrupted run would make the creation fail.
        SC_HANDLE l_h_Old = OpenServiceA(m_h_Manager, SERV_TULVO_SERVICE_NAME, SERVICE_ALL_ACCESS);
        if (l_h_Old != nullptr) {
            SERVICE_STATUS l_x_Status;
            ControlService(l_h_Old, SERVICE_CONTROL_STOP, &l_x_Status);
            WaitForState(l_h_Old, SERVICE_STOPPED, 30000);
            DeleteService(l_h_Old);
            CloseServiceHandle(l_h_Old);
        }
        const std::string l_x_Binary = "\"" + tulvo_test::BinDirectory() + "Serv_Tulvo.exe\"";
        m_h_Service = CreateServiceA(m_h_Manager, SERV_TULVO_SERVICE_NAME, SERV_TULVO_SERVICE_NAME,
                                     SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, l_x_Binary.c_str(),
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_h_Service, nullptr) << GetLastError();
    }

    void TearDown() override {
        if (m_h_Service != nullptr) {
            SERVICE_STATUS l_x_Status;
            ControlService(m_h_Service, SERVICE_CONTROL_STOP, &l_x_Status);
            WaitForState(m_h_Service, SERVICE_STOPPED, 30000);
            DeleteService(m_h_Service);
            CloseServiceHandle(m_h_Service);
        }
        if (m_h_Manager != nullptr) {
            CloseServiceHandle(m_h_Manager);
        }
        RemoveTraceFiles(m_x_SystemDir);
    }

    static bool WaitForState(SC_HANDLE i_h_Service, DWORD i_ul_State, DWORD i_ul_TimeoutMs,
                             SERVICE_STATUS_PROCESS* o_px_Status = nullptr) {
        const ULONGLONG l_ull_End = GetTickCount64() + i_ul_TimeoutMs;
        for (;;) {
            SERVICE_STATUS_PROCESS l_x_Status{};
            DWORD l_ul_Needed = 0;
            if (QueryServiceStatusEx(i_h_Service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&l_x_Status), sizeof(l_x_Status),
                                     &l_ul_Needed) &&
                l_x_Status.dwCurrentState == i_ul_State) {
                if (o_px_Status != nullptr) {
                    *o_px_Status = l_x_Status;
                }
                return true;
            }
            if (GetTickCount64() >= l_ull_End) {
                return false;
            }
            Sleep(20);
        }
    }

    // Starts the service with the given arguments and waits until it runs; gives its process.
    HANDLE StartAndWaitRunning(std::vector<const char*> i_apc_Args) {
        EXPECT_TRUE(StartServiceA(m_h_Service, static_cast<DWORD>(i_apc_Args.size()),
                                  i_apc_Args.empty() ? nullptr : i_apc_Args.data()))
            << GetLastError();
        SERVICE_STATUS_PROCESS l_x_Status{};
        EXPECT_TRUE(WaitForState(m_h_Service, SERVICE_RUNNING, 60000, &l_x_Status));
        EXPECT_EQ(l_x_Status.dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
        EXPECT_EQ(l_x_Status.dwCheckPoint, 0u);
        EXPECT_EQ(l_x_Status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                           l_x_Status.dwProcessId);
    }

    void StopAndExpectCleanExit(HANDLE i_h_Process, DWORD i_ul_Control) {
        SERVICE_STATUS l_x_Status{};
        ASSERT_TRUE(ControlService(m_h_Service, i_ul_Control, &l_x_Status)) << GetLastError();
        SERVICE_STATUS_PROCESS l_x_Stopped{};
        ASSERT_TRUE(WaitForState(m_h_Service, SERVICE_STOPPED, 60000, &l_x_Stopped));
        EXPECT_EQ(l_x_Stopped.dwWin32ExitCode, 0u);
        EXPECT_EQ(l_x_Stopped.dwCheckPoint, 0u);
        ASSERT_NE(i_h_Process, nullptr);
        ASSERT_EQ(WaitForSingleObject(i_h_Process, 60000), WAIT_OBJECT_0);
        DWORD l_ul_ExitCode = STILL_ACTIVE;
        GetExitCodeProcess(i_h_Process, &l_ul_ExitCode);
        EXPECT_EQ(l_ul_ExitCode, 0u);
        CloseHandle(i_h_Process);
    }

    std::string Trace() {
        const fs::path l_x_Previous = fs::current_path();
        fs::current_path(m_x_SystemDir);
        std::string l_x_Trace = tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log");
        fs::current_path(l_x_Previous);
        return l_x_Trace;
    }

    std::string m_x_SystemDir;
    SC_HANDLE m_h_Manager = nullptr;
    SC_HANDLE m_h_Service = nullptr;
};

TEST_F(ServiceControlTest, StartArgumentSwitchesLogAndStopReachesStoppedCleanly) {
    HANDLE l_h_Process = StartAndWaitRunning({"LogEventsEnable"});

    // An interrogation re-reports the current state.
    SERVICE_STATUS l_x_Status{};
    ASSERT_TRUE(ControlService(m_h_Service, SERVICE_CONTROL_INTERROGATE, &l_x_Status))
        << GetLastError();
    EXPECT_EQ(l_x_Status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    StopAndExpectCleanExit(l_h_Process, SERVICE_CONTROL_STOP);
    tulvo_test::ExpectInOrder(
        Trace(),
        {" Serv_Tulvo.Log Enable Log\r\n", " Serv_Tulvo_Service_main\r\n",
         " Serv_Tulvo_ServiceCmd_Start Starting\r\n", " Serv_Tulvo_ServiceCmd_Start Wait\r\n",
         " Serv_Tulvo_ServiceCmd_Start Cleaning\r\n", " Serv_Tulvo_ServiceCmd_Start Stopped\r\n",
         " Serv_Tulvo Exited ********************\r\n\r\n"});
    // It gave itself restarts after a failure, which wine's control manager cannot give back.
    tulvo_test::ExpectInOrder(Trace(), {" Serv_Tulvo_ServiceCmd_Start Starting\r\n",
                                        " Serv_Tulvo_SetFailureActions : restart after 5000 ms, "
                                        "5000 ms, then 60000 ms; reset after 86400 s\r\n",
                                        " Serv_Tulvo_ServiceCmd_Start Wait\r\n"});
}

TEST_F(ServiceControlTest, WithoutMarkerOrArgumentsNothingIsLogged) {
    HANDLE l_h_Process = StartAndWaitRunning({});
    StopAndExpectCleanExit(l_h_Process, SERVICE_CONTROL_STOP);
    EXPECT_EQ(Trace(), "");
}

TEST_F(ServiceControlTest, LongLogArgumentsPersistTheChoiceAcrossStarts) {
    const std::string l_x_Marker = m_x_SystemDir + "\\Serv_Tulvo.Log";
    StopAndExpectCleanExit(StartAndWaitRunning({"LogEventsEnableLong"}), SERVICE_CONTROL_STOP);
    EXPECT_TRUE(tulvo_test::FileExists(l_x_Marker));

    // The next start logs from its very first line, without any argument.
    RemoveTraceFiles(m_x_SystemDir);
    { std::ofstream l_x_Recreate(l_x_Marker); }
    StopAndExpectCleanExit(StartAndWaitRunning({}), SERVICE_CONTROL_STOP);
    const std::string l_x_Trace = Trace();
    EXPECT_EQ(l_x_Trace.find(" Serv_Tulvo Starting ******************\r\n"), 18u) << l_x_Trace;
    tulvo_test::ExpectInOrder(l_x_Trace, {" Serv_Tulvo Calling StartServiceCtrlDispatcher\r\n",
                                          " Serv_Tulvo_Service_main\r\n",
                                          " Serv_Tulvo_ServiceCmd_Start Stopped\r\n"});

    StopAndExpectCleanExit(StartAndWaitRunning({"LogEventsDisableLong"}), SERVICE_CONTROL_STOP);
    EXPECT_FALSE(tulvo_test::FileExists(l_x_Marker));
    EXPECT_NE(Trace().find(" Serv_Tulvo.Log Disable Log\r\n"), std::string::npos);
}

// A system shutdown goes through the same path as a stop. The control manager does not let
// an application send the shutdown control, so the handler is driven in this process, with
// the run routine in the foreground.
TEST(ServiceCtrlHandlerTest, ShutdownStopsTheRunRoutineAndInterrogateDoesNot) {
    InterlockedExchange(&g_i_Serv_Tulvo_DebugMode, 1);
    std::atomic<bool> l_b_Ended{false};
    std::thread l_x_Server([&] {
        Serv_Tulvo_ServiceCmd_Start(0, nullptr);
        l_b_Ended = true;
    });
    HANDLE l_h_Stop = nullptr;
    for (int l_i = 0; l_i < 3000 && l_h_Stop == nullptr; ++l_i) {
        l_h_Stop = OpenEventA(SYNCHRONIZE, FALSE, SERV_TULVO_SERVICE_NAME);
        Sleep(l_h_Stop == nullptr ? 10 : 0);
    }
    ASSERT_NE(l_h_Stop, nullptr);

    // The run routine ends only through its stop event, which an interrogation leaves alone.
    Serv_Tulvo_ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(WaitForSingleObject(l_h_Stop, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(l_b_Ended.load());
    CloseHandle(l_h_Stop);

    Serv_Tulvo_ServiceCtrlHandler(SERVICE_CONTROL_SHUTDOWN);
    l_x_Server.join();
    EXPECT_TRUE(l_b_Ended.load());
    // Signalling after the stop touches no closed handle.
    Serv_Tulvo_SignalStop();
    InterlockedExchange(&g_i_Serv_Tulvo_DebugMode, 0);
}

} // namespace
