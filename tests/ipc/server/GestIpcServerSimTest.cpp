// The channel servers and the device monitor in the test process, with simulated sensors
// behind the ports (run through run_server_sim.py): clients list the sensors, link, lock,
// exchange frames, lose sensors in mid-command, restart them, and die holding a lock.
#include "tests/ipc/server/ServerTestSupport.h"

#include "device/monitor/HideDlg.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/server/GestIpcPublic.h"
#include "ipc/server/GestIpcServer.h"
#include "tests/common/ChildProcess.h"

#include <atomic>
#include <memory>
#include <thread>

using namespace srvtest;
using tulvo_test::CChildProcess;
using tulvo_test::CTraceCapture;
using tulvo_test::WaitFor;

namespace {

class ServerSim : public ServerTest {
protected:
    // A private channel linked to the sensor's pipe.
    std::unique_ptr<CRawChannel> Linked(const std::string& i_x_Serial, uint8_t i_uc_Pipe) {
        std::unique_ptr<CRawChannel> l_px_Channel(new CRawChannel);
        EXPECT_EQ(TULVO_OK, OpenPrivateChannel(l_px_Channel.get()));
        EXPECT_EQ(StatusResponse(0x10, 0), l_px_Channel->Ask(LinkRequest(i_uc_Pipe, i_x_Serial)));
        return l_px_Channel;
    }
    // A frame sent and its echo received through the channel.
    void ExpectEcho(CRawChannel* io_px_Channel, size_t i_st_Size, uint32_t i_ul_Seed) {
        const Bytes l_x_Frame = EchoFrame(i_st_Size, i_ul_Seed);
        EXPECT_EQ(StatusResponse(0x13, 0), io_px_Channel->Ask(SendRequest(5000, l_x_Frame)));
        const Bytes l_x_Response = io_px_Channel->Ask(RecvRequest(5000));
        EXPECT_EQ(0, StatusOf(l_x_Response));
        EXPECT_EQ(l_x_Frame, DataOf(l_x_Response));
    }
    // Holds on the sensor's device object right now: the list's, each command's in progress.
    static int32_t Holds(const std::string& i_x_Serial) {
        TulvoServ_VekEntry* l_px_Entry = nullptr;
        if (TulvoServ_GetGestVek(i_x_Serial.c_str(), &l_px_Entry) != TULVO_OK) {
            return 0;
        }
        CGestVekHold l_x_Hold;
        if (l_px_Entry->pGestVek.Hold(&l_x_Hold) != GESTVEK_SLOT_HELD) {
            return 0;
        }
        return l_x_Hold->GetHoldCount() - 1;
    }
    // Runs one exchange on its own thread (a command that waits).
    struct SPending {
        std::thread m_x_Thread;
        int32_t m_i_Transfer = 0;
        Bytes m_x_Response;
        ~SPending() {
            if (m_x_Thread.joinable()) {
                m_x_Thread.join();
            }
        }
    };
    static void Start(SPending* o_px_Pending, CRawChannel* io_px_Channel,
                      const Bytes& i_x_Request) {
        o_px_Pending->m_x_Thread = std::thread([=] {
            o_px_Pending->m_i_Transfer =
                io_px_Channel->Exchange(i_x_Request, &o_px_Pending->m_x_Response, INFINITE);
        });
    }
    void StartChild(CChildProcess* o_px_Child, const std::string& i_x_Arguments) {
        ASSERT_TRUE(o_px_Child->Start(
            "\"" + tulvo_test::BinDirectory() + "server_test_client.exe\" " + i_x_Arguments, ""));
        ASSERT_TRUE(o_px_Child->WaitForOutput("ready", LONG_WAIT_MS)) << o_px_Child->Output();
    }
};

// The texts of one device entry of a device list response, from its offset on.
std::vector<std::string> EntryAt(const Bytes& i_x_Response, size_t* io_pst_Offset) {
    std::vector<std::string> l_ax_Texts;
    for (int l_i = 0; l_i < 4 && *io_pst_Offset < i_x_Response.size(); ++l_i) {
        const char* const l_pc_Text =
            reinterpret_cast<const char*>(i_x_Response.data() + *io_pst_Offset);
        l_ax_Texts.emplace_back(l_pc_Text);
        *io_pst_Offset += l_ax_Texts.back().size() + 1;
    }
    return l_ax_Texts;
}

TEST_F(ServerSim, AClientListsTheSensorsLinksLocksAndExchangesAFrame) {
    const std::string l_x_Serial = AddSensor();
    Open();
    const std::string l_x_Later = AddSensor();
    CRawClient l_x_Client;
    ASSERT_EQ(TULVO_OK, l_x_Client.Connect());
    ASSERT_EQ(TULVO_OK, l_x_Client.Lock());
    const Bytes l_x_List = l_x_Client.Ask(EnumDevicesRequest());
    ASSERT_GE(l_x_List.size(), 8u);
    EXPECT_EQ(Head(0x08) + Be32(0), Bytes(l_x_List.begin(), l_x_List.begin() + 7));
    EXPECT_EQ(2, l_x_List[7]);
    size_t l_st_Offset = 8;
    std::vector<std::vector<std::string>> l_ax_Entries;
    while (l_st_Offset < l_x_List.size()) {
        l_ax_Entries.push_back(EntryAt(l_x_List, &l_st_Offset));
    }
    EXPECT_EQ(l_x_List.size(), l_st_Offset);
    ASSERT_EQ(2u, l_ax_Entries.size());
    for (const std::vector<std::string>& l_ax_Entry : l_ax_Entries) {
        ASSERT_EQ(4u, l_ax_Entry.size());
        EXPECT_EQ("USB\\VID_2F3A&PID_0101\\" + l_ax_Entry[1], l_ax_Entry[0]);
        EXPECT_EQ("COM" + l_ax_Entry[1].substr(6), l_ax_Entry[3]);
        EXPECT_FALSE(l_ax_Entry[2].empty());
    }
    EXPECT_TRUE((l_ax_Entries[0][1] == l_x_Serial && l_ax_Entries[1][1] == l_x_Later) ||
                (l_ax_Entries[1][1] == l_x_Serial && l_ax_Entries[0][1] == l_x_Later));

    CRawChannel l_x_Private;
    ASSERT_EQ(TULVO_OK, l_x_Client.OpenPrivate(&l_x_Private));
    l_x_Client.Unlock();
    EXPECT_EQ(StatusResponse(0x10, TULVO_DEVICE_NOT_PRESENT),
              l_x_Private.Ask(LinkRequest(0, SERVER_TEST_TAG "-none")));
    EXPECT_EQ(StatusResponse(0x10, 0), l_x_Private.Ask(LinkRequest(0, l_x_Serial)));
    EXPECT_EQ(StatusResponse(0x10, TULVO_BAD_IPC_FORMAT),
              l_x_Private.Ask(LinkRequest(0, l_x_Later)));
    EXPECT_EQ(StatusResponse(0x11, 0), l_x_Private.Ask(LockRequest(5000)));
    ExpectEcho(&l_x_Private, 100, 1);
    EXPECT_EQ(StatusResponse(0x12, 0), l_x_Private.Ask(UnlockRequest()));
    EXPECT_EQ(StatusResponse(0x12, TULVO_SIGNAL_ERROR), l_x_Private.Ask(UnlockRequest()));
    // Requests of a linked channel that are too short, or announce more than they carry.
    EXPECT_EQ(StatusResponse(0x13, TULVO_BAD_IPC_FORMAT),
              l_x_Private.Ask(Head(0x13) + Be32(5000) + Bytes({0, 0, 0})));
    EXPECT_EQ(StatusResponse(0x13, TULVO_BAD_IPC_FORMAT),
              l_x_Private.Ask(Head(0x13) + Be32(5000) + Be32(5) + Bytes(4, 0)));
    EXPECT_EQ(StatusResponse(0x14, TULVO_BAD_IPC_FORMAT),
              l_x_Private.Ask(Head(0x14) + Bytes({0, 0, 0})));
    EXPECT_EQ(StatusResponse(0x11, TULVO_BAD_IPC_FORMAT), l_x_Private.Ask(Head(0x11)));
    EXPECT_EQ(StatusResponse(0x15, TULVO_BAD_IPC_FORMAT),
              l_x_Private.Ask(Head(0x15) + Be32(0) + Be32(0) + Be32(1)));
    // Nothing waiting and no time to wait: success without a frame.
    EXPECT_EQ(Head(0x14) + Be32(0) + Be32(0), l_x_Private.Ask(RecvRequest(0)));
    EXPECT_EQ(2, CTraceCapture::Count("GestIpcPrivate_TrtSendToPipe Err: TULVO_BAD_IPC_FORMAT "
                                      "i_i_ReceivedDataSize < SENDBUFFER_OFFSET_CMD_LENBUFFER\n"));
    EXPECT_EQ(StatusResponse(0x16, 0), l_x_Private.Ask(DestroyRequest()));
    EXPECT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 0; }, LONG_WAIT_MS));
}

TEST_F(ServerSim, ClientsOnTwoSensorsEachGetTheirOwnAnswers) {
    const std::string l_ax_Serials[2] = {AddSensor(), AddSensor()};
    Open();
    std::vector<std::thread> l_ax_Clients;
    std::atomic<int> l_i_Good{0};
    for (int l_i_Client = 0; l_i_Client < 6; ++l_i_Client) {
        l_ax_Clients.emplace_back([&, l_i_Client] {
            std::unique_ptr<CRawChannel> l_px_Channel = Linked(l_ax_Serials[l_i_Client % 2], 0);
            for (int l_i_Round = 0; l_i_Round < 25; ++l_i_Round) {
                const Bytes l_x_Frame = EchoFrame(100, l_i_Client * 1000 + l_i_Round);
                Bytes l_x_Got;
                l_px_Channel->Exchange(LockRequest(LONG_WAIT_MS), &l_x_Got);
                l_px_Channel->Exchange(SendRequest(5000, l_x_Frame), &l_x_Got);
                l_px_Channel->Exchange(RecvRequest(5000), &l_x_Got);
                if (StatusOf(l_x_Got) == 0 && DataOf(l_x_Got) == l_x_Frame) {
                    ++l_i_Good;
                }
                l_px_Channel->Exchange(UnlockRequest(), &l_x_Got);
            }
        });
    }
    for (std::thread& l_x_Client : l_ax_Clients) {
        l_x_Client.join();
    }
    EXPECT_EQ(6 * 25, l_i_Good.load());
}

TEST_F(ServerSim, AReceiveTimesOutAndASensorPulledDuringItOrAWriteEndsThemWithAStatus) {
    const std::string l_x_Serial = AddSensor();
    Open();
    std::unique_ptr<CRawChannel> l_px_Channel = Linked(l_x_Serial, 1);
    EXPECT_EQ(Head(0x14) + Be32(0xFFFFFDD7) + Be32(0), l_px_Channel->Ask(RecvRequest(200)));
    // A client that stops waiting and sends its next request once the first was taken: the
    // late answer is dropped rather than written over the request, which gets its own.
    ASSERT_EQ(TULVO_OK, l_px_Channel->Write(RecvRequest(2000)));
    ASSERT_TRUE(WaitFor(
        [&] { return WaitForSingleObject(l_px_Channel->Get()->m_h_Outgoing, 0) == WAIT_TIMEOUT; },
        LONG_WAIT_MS));
    EXPECT_EQ(StatusResponse(0x11, 0), l_px_Channel->Ask(LockRequest(1000)));
    EXPECT_EQ(1, CTraceCapture::Count("response 0x14 dropped: the next request came first"));
    EXPECT_EQ(StatusResponse(0x12, 0), l_px_Channel->Ask(UnlockRequest()));
    {
        SPending l_x_Recv;
        Start(&l_x_Recv, l_px_Channel.get(), RecvRequest(INFINITE));
        // The channel holds the device object from its pipe's look-up to the answer.
        ASSERT_TRUE(WaitFor([&] { return Holds(l_x_Serial) == 2; }, LONG_WAIT_MS));
        Unplug(l_x_Serial);
        l_x_Recv.m_x_Thread.join();
        EXPECT_EQ(TULVO_OK, l_x_Recv.m_i_Transfer);
        EXPECT_EQ(Head(0x14) + Be32(0xFFFFFE61) + Be32(0), l_x_Recv.m_x_Response);
    }
    // The entry is empty meanwhile: pipe commands get the look-up's status, LOCKPIPE too.
    EXPECT_EQ(StatusResponse(0x13, TULVO_BAD_PARAMETER),
              l_px_Channel->Ask(SendRequest(1000, EchoFrame(10, 2))));
    EXPECT_EQ(StatusResponse(0x11, TULVO_DEVICE_NOT_PRESENT), l_px_Channel->Ask(LockRequest(1000)));
    Plug(l_x_Serial);
    // Back on its port: LOCKPIPE finds it by the key, and the channel carries on.
    EXPECT_EQ(StatusResponse(0x11, 0), l_px_Channel->Ask(LockRequest(1000)));
    ExpectEcho(l_px_Channel.get(), 100, 3);

    // A write the sensor does not take, and the sensor pulled under it.
    ASSERT_EQ("ok", Sim("stall " + SensorName(l_x_Serial) + " on"));
    {
        SPending l_x_Send;
        Start(&l_x_Send, l_px_Channel.get(), SendRequest(LONG_WAIT_MS, EchoFrame(400000, 4)));
        ASSERT_TRUE(WaitFor([&] { return Holds(l_x_Serial) == 2; }, LONG_WAIT_MS));
        Unplug(l_x_Serial);
        l_x_Send.m_x_Thread.join();
        EXPECT_EQ(TULVO_OK, l_x_Send.m_i_Transfer);
        EXPECT_EQ(Head(0x13),
                  Bytes(l_x_Send.m_x_Response.begin(), l_x_Send.m_x_Response.begin() + 3));
        EXPECT_NE(0, StatusOf(l_x_Send.m_x_Response));
        EXPECT_EQ(7u, l_x_Send.m_x_Response.size());
    }
    EXPECT_EQ(0, Holds(l_x_Serial));
}

TEST_F(ServerSim, WaitForRebootFollowsTheSensorsRestartAndTheChannelCarriesOn) {
    const std::string l_x_Serial = AddSensor();
    Open();
    std::unique_ptr<CRawChannel> l_px_Channel = Linked(l_x_Serial, 0);
    EXPECT_EQ(StatusResponse(0x15, 0),
              l_px_Channel->Ask(RebootRequest(5000, LONG_WAIT_MS, RestartFrame(300))));
    EXPECT_EQ(1, CTraceCapture::Count("CHideDlg::CleanForReboot: UnregisterVek m_ax_WaitedVek"));
    ExpectEcho(l_px_Channel.get(), 100, 5);
    // A sensor that does not come back in time: the wait's status, the registration released.
    EXPECT_EQ(StatusResponse(0x15, TULVO_TIMEOUT),
              l_px_Channel->Ask(RebootRequest(5000, 500, RestartFrame(60000))));
    EXPECT_EQ(2, CTraceCapture::Count("CHideDlg::CleanForReboot: UnregisterVek m_ax_WaitedVek"));
    EXPECT_EQ(1, CTraceCapture::Count("GestIpcPrivate_TrtReboot TulvoServ_WaitForReboot Err "
                                      "0xFFFFFDD7\n"));
}

TEST_F(ServerSim, AClientKilledHoldingThePipeLockLeavesItToTheNextClient) {
    const std::string l_x_Serial = AddSensor();
    Open();
    std::unique_ptr<CRawChannel> l_px_Channel = Linked(l_x_Serial, 0);
    CChildProcess l_x_Holder;
    StartChild(&l_x_Holder, "lockpipe " + l_x_Serial + " 0");
    EXPECT_EQ(StatusResponse(0x11, TULVO_TIMEOUT), l_px_Channel->Ask(LockRequest(200)));
    l_x_Holder.Kill();
    ASSERT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 1; }, LONG_WAIT_MS));
    EXPECT_EQ(StatusResponse(0x11, 0), l_px_Channel->Ask(LockRequest(LONG_WAIT_MS)));
    ExpectEcho(l_px_Channel.get(), 100, 6);
    EXPECT_EQ(StatusResponse(0x12, 0), l_px_Channel->Ask(UnlockRequest()));

    // A client killed while its RECVBUFFER waits: the wait ends with it, and so does the
    // channel.
    CChildProcess l_x_Reader;
    StartChild(&l_x_Reader, "recv " + l_x_Serial + " 1");
    ASSERT_TRUE(WaitFor([&] { return Holds(l_x_Serial) == 2; }, LONG_WAIT_MS));
    l_x_Reader.Kill();
    ASSERT_TRUE(WaitFor([] { return GestIpcSlots_Count() == 1; }, LONG_WAIT_MS));
    EXPECT_EQ(1, Holds(l_x_Serial));
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek_Pipe::ReadFrame: WaitForSingleObject loss of "
                                      "application\n"));
    ExpectEcho(l_px_Channel.get(), 100, 7);
}

TEST_F(ServerSim, ADeviceThatMayNotBeOpenedAnswersEveryPipeCommandWithAStatus) {
    const std::string l_x_Serial = AddSensor();
    Open(0);
    std::unique_ptr<CRawChannel> l_px_Channel = Linked(l_x_Serial, 0);
    EXPECT_EQ(StatusResponse(0x11, TULVO_PORT_NOT_OPEN), l_px_Channel->Ask(LockRequest(1000)));
    EXPECT_EQ(StatusResponse(0x13, TULVO_PORT_NOT_OPEN),
              l_px_Channel->Ask(SendRequest(1000, EchoFrame(10, 8))));
    EXPECT_EQ(Head(0x14) + Be32(0xFFFFFE71) + Be32(0), l_px_Channel->Ask(RecvRequest(1000)));
    EXPECT_EQ(StatusResponse(0x15, TULVO_PORT_NOT_OPEN),
              l_px_Channel->Ask(RebootRequest(1000, 1000, RestartFrame(300))));
    EXPECT_EQ(StatusResponse(0x12, TULVO_PORT_NOT_OPEN), l_px_Channel->Ask(UnlockRequest()));
}

TEST_F(ServerSim, ThePublicServerOutlivesAStopLongerThanItsWait) {
    const std::string l_x_Serial = AddSensor();
    Open();
    // Two channels in frame waits that no cancel event ends: stopping them takes the public
    // thread twice the time the closing waits for it.
    std::unique_ptr<CRawChannel> l_apx_Channels[2] = {Linked(l_x_Serial, 1), Linked(l_x_Serial, 2)};
    SPending l_ax_Recv[2];
    for (int l_i = 0; l_i < 2; ++l_i) {
        Start(&l_ax_Recv[l_i], l_apx_Channels[l_i].get(), RecvRequest(INFINITE));
    }
    ASSERT_TRUE(WaitFor([&] { return Holds(l_x_Serial) == 3; }, LONG_WAIT_MS));
    TulvoServ_CloseGestIpcPublic();
    ASSERT_TRUE(WaitFor(
        [] { return CTraceCapture::Count("GestIpcPublic_ThreadReceptProc Stopped \n") == 1; },
        LONG_WAIT_MS));
    EXPECT_EQ(2, CTraceCapture::Count("GestIpcPrivate_Stop\n"));
    EXPECT_EQ(2, GestIpcSlots_Count());
    // The monitor's closing stops the pipes: the waits end, and the channels with them.
    Close();
    for (SPending& l_x_Recv : l_ax_Recv) {
        l_x_Recv.m_x_Thread.join();
        EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, l_x_Recv.m_i_Transfer);
    }
    EXPECT_EQ(0, GestIpcSlots_Count());
}

} // namespace
