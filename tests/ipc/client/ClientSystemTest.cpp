// The client library, tulvo_cli, the C example and Serv_Tulvo -send against the real service
// (Serv_Tulvo.exe -debug) with a simulated sensor, run through run_server_sim.py: what an
// application meets, from the device list to a service that stops under it.
#include "device/link/Ilv.h"
#include "ipc/client/Client.h"
#include "ipc/client/TulvoCli.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/ServiceProcess.h"
#include "tests/ipc/server/ServerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string.h>
#include <thread>
#include <vector>

using namespace srvtest;
using tulvo_test::WaitFor;

namespace {

const uint32_t TIMEOUT = 5000;

// The bytes in hexadecimal, with that text between two bytes.
std::string HexText(const Bytes& i_x_Bytes, const char* i_pc_Between = "") {
    std::string l_x_Text;
    char l_ac_Byte[3];
    for (uint8_t l_uc_Byte : i_x_Bytes) {
        snprintf(l_ac_Byte, sizeof(l_ac_Byte), "%02X", l_uc_Byte);
        l_x_Text += (l_x_Text.empty() ? "" : i_pc_Between) + std::string(l_ac_Byte);
    }
    return l_x_Text;
}

Bytes ValueOf(const Bytes& i_x_Frame) {
    const uint8_t* l_puc_Value = ILV_GetValue(i_x_Frame.data());
    return Bytes(l_puc_Value, l_puc_Value + ILV_GetLength(i_x_Frame.data()));
}

// A buffer the library handed out, taken into a vector and freed.
Bytes Take(uint8_t** io_ppuc_Buffer, uint32_t i_ul_Length) {
    Bytes l_x_Bytes;
    if (*io_ppuc_Buffer != nullptr) {
        l_x_Bytes.assign(*io_ppuc_Buffer, *io_ppuc_Buffer + i_ul_Length);
    }
    TulvoCli_FreeBuffer(io_ppuc_Buffer);
    return l_x_Bytes;
}

class ClientSystem : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        // The service writes the trace log, in its working directory; this process does not.
        m_px_Log.reset();
        m_x_Dir.Enter();
        m_x_Serial = AddSensor();
        { std::ofstream l_x_Marker(m_x_Dir.Path() + "\\Serv_Tulvo.Log"); }
        ASSERT_TRUE(m_x_Service.Start(m_x_Dir.Path()));
        ASSERT_TRUE(m_x_Service.WaitForOutput("..Started", LONG_WAIT_MS)) << m_x_Service.Output();
        ASSERT_TRUE(WaitFor([&] { return Listed(); }, LONG_WAIT_MS));
    }
    void TearDown() override {
        TulvoCli_Disconnect(&m_px_Conx);
        if (m_x_Service.IsRunning()) {
            EXPECT_TRUE(m_x_Service.Stop(LONG_WAIT_MS));
        }
        ServerTest::TearDown();
        m_x_Dir.Leave();
    }

    // The sensor is in the service's device list.
    bool Listed() {
        TulvoCli_DeviceProperties* l_px_List = nullptr;
        uint32_t l_ul_Count = 0;
        bool l_b_Found = false;
        if (TulvoCli_EnumDevices(&l_px_List, &l_ul_Count) == TULVO_OK) {
            for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
                l_b_Found =
                    l_b_Found ||
                    reinterpret_cast<char*>(l_px_List[l_ul_Index].m_puc_SerialNumber) == m_x_Serial;
            }
        }
        TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);
        return l_b_Found;
    }
    void Connect() { ASSERT_EQ(TULVO_OK, TulvoCli_Connect(&m_px_Conx, m_x_Serial.c_str())); }
    // TulvoCli_Exchange of that frame; its answer (empty on failure, with the status).
    Bytes Exchange(const Bytes& i_x_Frame, int32_t* o_pi_Status = nullptr) {
        uint8_t* l_puc_Answer = nullptr;
        uint32_t l_ul_Length = 0;
        const int32_t l_i_Status =
            TulvoCli_Exchange(m_px_Conx, TIMEOUT, i_x_Frame.data(),
                              static_cast<uint32_t>(i_x_Frame.size()), &l_puc_Answer, &l_ul_Length);
        if (o_pi_Status != nullptr) {
            *o_pi_Status = l_i_Status;
        }
        return Take(&l_puc_Answer, l_ul_Length);
    }
    std::string SimSensor() const { return SensorName(m_x_Serial); }
    // Output of one run of a program of the build; the exit code as a signed status.
    static std::string Run(const std::string& i_x_Program, const std::string& i_x_Arguments,
                           int32_t* o_pi_Exit) {
        DWORD l_ul_Exit = 0;
        const std::string l_x_Output = tulvo_test::RunToEnd("\"" + tulvo_test::BinDirectory() +
                                                                i_x_Program + "\" " + i_x_Arguments,
                                                            "", LONG_WAIT_MS, &l_ul_Exit);
        *o_pi_Exit = static_cast<int32_t>(l_ul_Exit);
        return l_x_Output;
    }

    tulvo_test::CTempDir m_x_Dir;
    std::string m_x_Serial;
    tulvo_test::CServiceProcess m_x_Service;
    TulvoCli_Connection* m_px_Conx = nullptr;
};

TEST_F(ClientSystem, AnApplicationListsConnectsExchangesOnEveryPipeAndDisconnects) {
    TulvoCli_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    ASSERT_EQ(TULVO_OK, TulvoCli_EnumDevices(&l_px_List, &l_ul_Count));
    ASSERT_EQ(1u, l_ul_Count);
    EXPECT_EQ(0, strncmp(reinterpret_cast<char*>(l_px_List[0].m_puc_DevicePath), "COM", 3));
    EXPECT_NE(nullptr,
              strstr(reinterpret_cast<char*>(l_px_List[0].m_puc_InstanceId), m_x_Serial.c_str()));
    TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);

    Connect();
    const Bytes l_x_Frame = EchoFrame(95, 1);
    ASSERT_EQ(100u, l_x_Frame.size());
    int32_t l_i_Status = 1;
    EXPECT_EQ(l_x_Frame, Exchange(l_x_Frame, &l_i_Status));
    EXPECT_EQ(TULVO_OK, l_i_Status);

    const Bytes l_x_Second = EchoFrame(3000, 3);
    ASSERT_EQ(TULVO_OK, TulvoCli_Lock(m_px_Conx, TIMEOUT));
    EXPECT_EQ(TULVO_OK, TulvoCli_SendFrame(m_px_Conx, TIMEOUT, l_x_Second.data(),
                                           static_cast<uint32_t>(l_x_Second.size())));
    uint8_t* l_puc_Frame = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(TULVO_OK, TulvoCli_ReceiveFrame(m_px_Conx, TIMEOUT, &l_puc_Frame, &l_ul_Length));
    EXPECT_EQ(l_x_Second, Take(&l_puc_Frame, l_ul_Length));
    EXPECT_EQ(TULVO_OK, TulvoCli_Unlock(m_px_Conx));
    // Nothing waits on the real-time log pipe.
    EXPECT_EQ(TULVO_TIMEOUT,
              TulvoCli_ReceiveRealTimeLog(m_px_Conx, 200, &l_puc_Frame, &l_ul_Length));
    EXPECT_EQ(nullptr, l_puc_Frame);

    // Last: nobody takes the answer to a posted frame, and the next frame of the same
    // identifier on that pipe could be answered with it.
    EXPECT_EQ(TULVO_OK, TulvoCli_Post(m_px_Conx, TIMEOUT, l_x_Frame.data(), 100));

    uint8_t* l_puc_Version = nullptr;
    ASSERT_EQ(TULVO_OK, TulvoCli_GetServerInfos(0, 0, &l_puc_Version, &l_ul_Length));
    EXPECT_EQ(Text("1. 5. 0. 0"), Take(&l_puc_Version, l_ul_Length));
    EXPECT_EQ(TULVO_OK, TulvoCli_Disconnect(&m_px_Conx));
    EXPECT_EQ(nullptr, m_px_Conx);
}

TEST_F(ClientSystem, ThreadsSharingTheRealTimeLogPipeEachTakeWholeFramesAndNoneTwice) {
    Connect();
    const int l_i_Frames = 40;
    std::mutex l_x_Lock;
    std::vector<Bytes> l_ax_Frames;
    std::vector<std::thread> l_ax_Readers;
    for (int l_i_Thread = 0; l_i_Thread < 4; ++l_i_Thread) {
        l_ax_Readers.emplace_back([&] {
            for (;;) {
                uint8_t* l_puc_Frame = nullptr;
                uint32_t l_ul_Length = 0;
                if (TulvoCli_ReceiveRealTimeLog(m_px_Conx, 2000, &l_puc_Frame, &l_ul_Length) !=
                    TULVO_OK) {
                    return;
                }
                std::lock_guard<std::mutex> l_x_Guard(l_x_Lock);
                l_ax_Frames.push_back(Take(&l_puc_Frame, l_ul_Length));
            }
        });
    }
    EXPECT_EQ("ok", Sim("async " + SimSensor() + " 0x0135 100 8 " + std::to_string(l_i_Frames)));
    for (std::thread& l_x_Reader : l_ax_Readers) {
        l_x_Reader.join();
    }
    // Each frame is the record the sensor sent: identifier 0x0135, sequence number, size 8.
    std::set<uint32_t> l_x_Sequences;
    for (const Bytes& l_x_Frame : l_ax_Frames) {
        ASSERT_EQ(TULVO_OK, ILV_Check(l_x_Frame.data(), static_cast<uint32_t>(l_x_Frame.size())));
        ASSERT_EQ(ILV_VEK_ASYNC_REALTIMELOG, ILV_GetIdentifier(l_x_Frame.data()));
        ASSERT_EQ(8u, ILV_GetLength(l_x_Frame.data()));
        const uint8_t* l_puc_Value = ILV_GetValue(l_x_Frame.data());
        l_x_Sequences.insert(l_puc_Value[0] | (l_puc_Value[1] << 8) | (l_puc_Value[2] << 16) |
                             (uint32_t(l_puc_Value[3]) << 24));
    }
    EXPECT_EQ(static_cast<size_t>(l_i_Frames), l_ax_Frames.size());
    EXPECT_EQ(static_cast<size_t>(l_i_Frames), l_x_Sequences.size());
    EXPECT_EQ(static_cast<uint32_t>(l_i_Frames - 1), *l_x_Sequences.rbegin());
}

TEST_F(ClientSystem, EightThreadsExchangingOnOneConnectionEachGetTheirOwnAnswers) {
    Connect();
    std::atomic<int> l_i_Wrong{0};
    std::vector<std::thread> l_ax_Threads;
    for (uint32_t l_ul_Thread = 0; l_ul_Thread < 8; ++l_ul_Thread) {
        l_ax_Threads.emplace_back([&, l_ul_Thread] {
            for (uint32_t l_ul_Round = 0; l_ul_Round < 25; ++l_ul_Round) {
                const Bytes l_x_Frame = EchoFrame(20 + l_ul_Thread, l_ul_Thread * 100 + l_ul_Round);
                int32_t l_i_Status = 1;
                if (Exchange(l_x_Frame, &l_i_Status) != l_x_Frame || l_i_Status != TULVO_OK) {
                    ++l_i_Wrong;
                }
            }
        });
    }
    for (std::thread& l_x_Thread : l_ax_Threads) {
        l_x_Thread.join();
    }
    EXPECT_EQ(0, l_i_Wrong.load());
}

TEST_F(ClientSystem, APipeLockHeldByAnotherThreadTimesOutAndNeitherItNorItsUnlockIsSent) {
    Connect();
    HANDLE l_h_Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE l_h_Held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int32_t> l_i_OwnerStatus{1};
    std::thread l_x_Owner([&] {
        l_i_OwnerStatus = TulvoCli_Lock(m_px_Conx, TIMEOUT);
        SetEvent(l_h_Held);
        WaitForSingleObject(l_h_Release, LONG_WAIT_MS);
        TulvoCli_Unlock(m_px_Conx);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(l_h_Held, LONG_WAIT_MS));
    EXPECT_EQ(TULVO_OK, l_i_OwnerStatus.load());
    // Nothing goes through the transport while the pipe mutex is held by the other thread.
    const uint32_t l_ul_Calls = ToolShare_GetKernelCallCount();
    EXPECT_EQ(TULVO_TIMEOUT, TulvoCli_Lock(m_px_Conx, 100));
    EXPECT_EQ(l_ul_Calls, ToolShare_GetKernelCallCount());
    // Nor does the unlock after it: the service would free the other thread's lock.
    EXPECT_EQ(TULVO_SIGNAL_ERROR, TulvoCli_Unlock(m_px_Conx));
    EXPECT_EQ(l_ul_Calls, ToolShare_GetKernelCallCount());
    TulvoCli_Connection* l_px_Other = nullptr;
    ASSERT_EQ(TULVO_OK, TulvoCli_Connect(&l_px_Other, m_x_Serial.c_str()));
    EXPECT_EQ(TULVO_TIMEOUT, TulvoCli_Lock(l_px_Other, 300));
    TulvoCli_Unlock(l_px_Other);
    SetEvent(l_h_Release);
    l_x_Owner.join();
    EXPECT_EQ(TULVO_OK, TulvoCli_Lock(l_px_Other, TIMEOUT));
    EXPECT_EQ(TULVO_OK, TulvoCli_Unlock(l_px_Other));
    TulvoCli_Disconnect(&l_px_Other);
    CloseHandle(l_h_Release);
    CloseHandle(l_h_Held);
}

TEST_F(ClientSystem, AThreadThatEndsHoldingAChannelsLockLeavesItToTheOthers) {
    Connect();
    ToolShare_Channel* l_px_Channel = &m_px_Conx->m_ax_Pipes[CLIENT_EXCHANGE_PIPE].m_x_Channel;
    std::thread([&] { EXPECT_EQ(TULVO_OK, ToolShareClt_Lock(l_px_Channel, TIMEOUT)); }).join();
    EXPECT_EQ(EchoFrame(5, 1), Exchange(EchoFrame(5, 1)));
    // Taken over once, not twice: another thread gets it next.
    std::thread([&] { EXPECT_EQ(EchoFrame(6, 2), Exchange(EchoFrame(6, 2))); }).join();
}

TEST_F(ClientSystem, AConnectRefusedPartWayLeavesNoChannelBehindInTheService) {
    // 30 of the 32 private channels a process may hold in use: the third pipe cannot be had.
    CRawClient l_x_Public;
    ASSERT_EQ(TULVO_OK, l_x_Public.Connect());
    ASSERT_EQ(TULVO_OK, l_x_Public.Lock());
    std::vector<std::unique_ptr<CRawChannel>> l_ax_Held;
    for (int l_i = 0; l_i < 30; ++l_i) {
        l_ax_Held.emplace_back(new CRawChannel);
        ASSERT_EQ(TULVO_OK, l_x_Public.OpenPrivate(l_ax_Held.back().get()));
    }
    l_x_Public.Unlock();
    EXPECT_EQ(TULVO_DEVICE_NOT_PRESENT, TulvoCli_Connect(&m_px_Conx, "TLVSRVNOSUCHSENSOR"));
    EXPECT_EQ(TULVO_TOO_MANY_CHANNELS, TulvoCli_Connect(&m_px_Conx, m_x_Serial.c_str()));
    EXPECT_EQ(nullptr, m_px_Conx);
    // Every channel those attempts opened is given back: exactly two more can be had.
    ASSERT_EQ(TULVO_OK, l_x_Public.Lock());
    int l_i_Opened = 0;
    EXPECT_TRUE(WaitFor(
        [&] {
            l_ax_Held.emplace_back(new CRawChannel);
            if (l_x_Public.OpenPrivate(l_ax_Held.back().get()) == TULVO_OK) {
                ++l_i_Opened;
            }
            return l_i_Opened == 2;
        },
        LONG_WAIT_MS));
    CRawChannel l_x_OneTooMany;
    EXPECT_EQ(TULVO_TOO_MANY_CHANNELS, l_x_Public.OpenPrivate(&l_x_OneTooMany));
    l_x_Public.Unlock();
}

TEST_F(ClientSystem, WaitForRebootFollowsTheSensorsRestartAndTheConnectionCarriesOn) {
    Connect();
    // Back after 20 s: longer than the write time-out and the usual margin, within what the
    // service may take over the restart.
    const Bytes l_x_Restart = RestartFrame(20000);
    ASSERT_EQ(TULVO_OK,
              TulvoCli_WaitForReboot(m_px_Conx, TIMEOUT, l_x_Restart.data(),
                                     static_cast<uint32_t>(l_x_Restart.size()), LONG_WAIT_MS));
    EXPECT_EQ(EchoFrame(50, 4), Exchange(EchoFrame(50, 4)));
    EXPECT_TRUE(Listed());
}

TEST_F(ClientSystem, AServiceStoppedUnderAWaitingClientEndsItsCallsAndEveryLaterOne) {
    Connect();
    ASSERT_EQ("ok", Sim("silent " + SimSensor() + " on"));
    std::atomic<int32_t> l_i_Waiting{1};
    HANDLE l_h_Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread l_x_Waiter([&] {
        const Bytes l_x_Frame = EchoFrame(8, 5);
        uint8_t* l_puc_Answer = nullptr;
        uint32_t l_ul_Length = 0;
        l_i_Waiting =
            TulvoCli_Exchange(m_px_Conx, 60000, l_x_Frame.data(),
                              static_cast<uint32_t>(l_x_Frame.size()), &l_puc_Answer, &l_ul_Length);
        TulvoCli_FreeBuffer(&l_puc_Answer);
        SetEvent(l_h_Done);
    });
    // The frame reached the sensor: the client now waits for an answer that never comes.
    EXPECT_TRUE(
        WaitFor([&] { return m_x_Sim.Stat(SimSensor(), "last_id_in") == 0x0F00; }, LONG_WAIT_MS));
    ASSERT_TRUE(m_x_Service.Stop(LONG_WAIT_MS));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(l_h_Done, LONG_WAIT_MS));
    l_x_Waiter.join();
    CloseHandle(l_h_Done);
    const int32_t l_i_Ended = l_i_Waiting.load();
    EXPECT_TRUE(l_i_Ended == TULVO_ABORTED || l_i_Ended == TULVO_TS_PEER_LOST ||
                l_i_Ended == TULVO_TS_SERVER_NOT_RUNNING)
        << l_i_Ended;

    int32_t l_i_Status = 1;
    Exchange(EchoFrame(8, 6), &l_i_Status);
    EXPECT_TRUE(l_i_Status == TULVO_TS_PEER_LOST || l_i_Status == TULVO_TS_SERVER_NOT_RUNNING)
        << l_i_Status;
    TulvoCli_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, TulvoCli_EnumDevices(&l_px_List, &l_ul_Count));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, TulvoCli_Disconnect(&m_px_Conx));
    EXPECT_EQ(nullptr, m_px_Conx);
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, TulvoCli_Connect(&m_px_Conx, m_x_Serial.c_str()));

    int32_t l_i_Exit = 0;
    EXPECT_NE(
        std::string::npos,
        Run("tulvo_cli.exe", "version", &l_i_Exit).find("TULVO_TS_SERVER_NOT_RUNNING (-422)"));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, l_i_Exit);
    EXPECT_NE(
        std::string::npos,
        Run("Serv_Tulvo.exe", "-send version", &l_i_Exit).find("Error: -422 SERVER NOT RUNNING"));
}

TEST_F(ClientSystem, AnApplicationReconnectsAndExchangesOnceAKilledServiceIsRestarted) {
    Connect();
    EXPECT_EQ(EchoFrame(8, 1), Exchange(EchoFrame(8, 1)));
    // Ended as by a crash: no stop, no cleaning, the clients' handles left behind.
    ASSERT_TRUE(TerminateProcess(m_x_Service.Process(), 1));
    ASSERT_TRUE(m_x_Service.WaitForExit(LONG_WAIT_MS));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, TulvoCli_Disconnect(&m_px_Conx));
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, TulvoCli_Connect(&m_px_Conx, m_x_Serial.c_str()));

    // Started again, as the control manager's restart after a failure does.
    tulvo_test::CServiceProcess l_x_Restarted;
    ASSERT_TRUE(l_x_Restarted.Start(m_x_Dir.Path()));
    ASSERT_TRUE(l_x_Restarted.WaitForOutput("..Started", LONG_WAIT_MS)) << l_x_Restarted.Output();
    ASSERT_TRUE(WaitFor([&] { return Listed(); }, LONG_WAIT_MS));
    Connect();
    EXPECT_EQ(EchoFrame(8, 3), Exchange(EchoFrame(8, 3)));
    EXPECT_EQ(TULVO_OK, TulvoCli_Disconnect(&m_px_Conx));
    EXPECT_TRUE(l_x_Restarted.Stop(LONG_WAIT_MS));
}

TEST_F(ClientSystem, TulvoCliListsExchangesWatchesRestartsAndSwitchesTheLog) {
    int32_t l_i_Exit = 1;
    const std::string l_x_List = Run("tulvo_cli.exe", "list", &l_i_Exit);
    EXPECT_EQ(0, l_i_Exit);
    EXPECT_EQ(0u, l_x_List.find(m_x_Serial + "\tCOM")) << l_x_List;

    const Bytes l_x_Frame = EchoFrame(2, 7);
    EXPECT_EQ("answer: " + HexText(l_x_Frame, " ") +
                  "\n        identifier 0x0F00, 2 value bytes: " +
                  HexText(ValueOf(l_x_Frame), " ") + "\n",
              Run("tulvo_cli.exe", "exchange " + m_x_Serial + " " + HexText(l_x_Frame), &l_i_Exit));
    EXPECT_EQ(0, l_i_Exit);

    EXPECT_EQ("ok", Sim("async " + SimSensor() + " 0x0135 20 8"));
    const std::string l_x_Watch = Run("tulvo_cli.exe", "--count 3 watch " + m_x_Serial, &l_i_Exit);
    EXPECT_EQ("ok", Sim("async " + SimSensor() + " off"));
    EXPECT_EQ(0, l_i_Exit);
    size_t l_st_Lines = 0;
    for (size_t l_st_At = l_x_Watch.find("identifier 0x0135, 8 value bytes");
         l_st_At != std::string::npos;
         l_st_At = l_x_Watch.find("identifier 0x0135, 8 value bytes", l_st_At + 1)) {
        ++l_st_Lines;
    }
    EXPECT_EQ(3u, l_st_Lines) << l_x_Watch;

    EXPECT_EQ("restarting " + m_x_Serial + "...\n" + m_x_Serial + " is back\n",
              Run("tulvo_cli.exe",
                  "--reboot-wait 30000 reboot " + m_x_Serial + " " + HexText(RestartFrame(300)),
                  &l_i_Exit));
    EXPECT_EQ(0, l_i_Exit);

    EXPECT_EQ("1. 5. 0. 0\n", Run("tulvo_cli.exe", "version", &l_i_Exit));
    EXPECT_EQ("log off-next-start: done\n", Run("tulvo_cli.exe", "log off-next-start", &l_i_Exit));
    EXPECT_FALSE(tulvo_test::FileExists(m_x_Dir.Path() + "\\Serv_Tulvo.Log"));
    EXPECT_EQ("log on-next-start: done\n", Run("tulvo_cli.exe", "log on-next-start", &l_i_Exit));
    EXPECT_TRUE(tulvo_test::FileExists(m_x_Dir.Path() + "\\Serv_Tulvo.Log"));

    EXPECT_EQ("tulvo_cli: connecting to TLVSRVNONE failed: TULVO_DEVICE_NOT_PRESENT (-403); "
              "tulvo_cli list shows the sensors the service knows\n",
              Run("tulvo_cli.exe", "exchange TLVSRVNONE 0F0000", &l_i_Exit));
    EXPECT_EQ(TULVO_DEVICE_NOT_PRESENT, l_i_Exit);
    for (const char* l_pc_Bad : {"exchange X 0F0", "log sometimes", "frobnicate", "list x"}) {
        EXPECT_NE(std::string::npos,
                  Run("tulvo_cli.exe", l_pc_Bad, &l_i_Exit).find("Run tulvo_cli --help"));
        EXPECT_EQ(1, l_i_Exit) << l_pc_Bad;
    }
}

TEST_F(ClientSystem, SeveralProcessesExchangingWithOneSensorAtOnceEachGetTheirOwnAnswer) {
    std::vector<std::unique_ptr<tulvo_test::CChildProcess>> l_ax_Clients;
    for (uint32_t l_ul_Client = 0; l_ul_Client < 4; ++l_ul_Client) {
        l_ax_Clients.emplace_back(new tulvo_test::CChildProcess);
        ASSERT_TRUE(l_ax_Clients.back()->Start("\"" + tulvo_test::BinDirectory() +
                                                   "tulvo_cli.exe\" exchange " + m_x_Serial + " " +
                                                   HexText(EchoFrame(4, 10 + l_ul_Client)),
                                               ""));
    }
    for (uint32_t l_ul_Client = 0; l_ul_Client < 4; ++l_ul_Client) {
        tulvo_test::CChildProcess& l_x_Client = *l_ax_Clients[l_ul_Client];
        ASSERT_TRUE(l_x_Client.WaitForExit(LONG_WAIT_MS));
        EXPECT_EQ(0u, l_x_Client.ExitCode()) << l_x_Client.Output();
        EXPECT_NE(std::string::npos,
                  l_x_Client.Output().find("value bytes: " +
                                           HexText(ValueOf(EchoFrame(4, 10 + l_ul_Client)), " ")))
            << l_x_Client.Output();
    }
}

TEST_F(ClientSystem, TheCExampleThroughTheDllAndSendVersionReachTheService) {
    int32_t l_i_Exit = 1;
    const std::string l_x_Example = Run("tulvo_example.exe", "", &l_i_Exit);
    EXPECT_EQ(0, l_i_Exit) << l_x_Example;
    EXPECT_EQ(0u, l_x_Example.find("1 sensor(s)\r\n  " + m_x_Serial + " on COM")) << l_x_Example;
    EXPECT_NE(std::string::npos, l_x_Example.find("answer of " + m_x_Serial + ": 80 "))
        << l_x_Example;
    EXPECT_NE(std::string::npos, Run("Serv_Tulvo.exe", "-send version", &l_i_Exit)
                                     .find("\r\n\r\nVersion returned by Server : 1. 5. 0. 0\r\n"));
}

} // namespace

TEST_F(ClientSystem, TulvoCliLocksShowsWhoHoldsAPipeUntilTheNextClientTakesItOverFromTheDead) {
    int32_t l_i_Exit = 1;
    EXPECT_EQ("no pipe lock held\n", Run("tulvo_cli.exe", "locks", &l_i_Exit));
    EXPECT_EQ(0, l_i_Exit);

    tulvo_test::CChildProcess l_x_Holder;
    ASSERT_TRUE(l_x_Holder.Start("\"" + tulvo_test::BinDirectory() +
                                     "server_test_client.exe\" lockpipe " + m_x_Serial + " 1",
                                 ""));
    ASSERT_TRUE(l_x_Holder.WaitForOutput("ready", LONG_WAIT_MS)) << l_x_Holder.Output();
    const std::string l_x_Held =
        m_x_Serial + "\tpipe 1\tprocess " + std::to_string(l_x_Holder.ProcessId()) + "\theld ";
    EXPECT_EQ(0u, Run("tulvo_cli.exe", "locks", &l_i_Exit).find(l_x_Held));
    // A holder that is gone still shows: the lock is abandoned, not free, until taken over.
    l_x_Holder.Kill();
    const std::string l_x_Locks = Run("tulvo_cli.exe", "locks", &l_i_Exit);
    EXPECT_EQ(0u, l_x_Locks.find(l_x_Held)) << l_x_Locks;
    EXPECT_EQ(1, std::count(l_x_Locks.begin(), l_x_Locks.end(), '\n')) << l_x_Locks;

    // The next client's exchange locks pipe 1: it takes the lock over, and it is free again.
    Connect();
    int32_t l_i_Status = 1;
    EXPECT_EQ(EchoFrame(8, 3), Exchange(EchoFrame(8, 3), &l_i_Status));
    EXPECT_EQ(TULVO_OK, l_i_Status);
    EXPECT_EQ("no pipe lock held\n", Run("tulvo_cli.exe", "locks", &l_i_Exit));
    const std::string l_x_Log = tulvo_test::ReadAllDailyFiles("Serv_Tulvo.Log");
    tulvo_test::ExpectInOrder(
        l_x_Log,
        {" pipe 1 locked by process " + std::to_string(l_x_Holder.ProcessId()) + "\r\n",
         " pipe 1 lock abandoned by process " + std::to_string(l_x_Holder.ProcessId()) + " after ",
         " ms, taken over by process " + std::to_string(GetCurrentProcessId()) + "\r\n",
         " pipe 1 unlocked by process " + std::to_string(GetCurrentProcessId()) + " after "});
}
