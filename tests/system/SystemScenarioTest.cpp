// The whole system under faults, with real processes throughout (run through
// run_server_sim.py): Serv_Tulvo.exe, simulated sensors that the device-tree tool announces,
// and tulvo_scenario_client.exe processes that check every frame they receive. Each scenario
// combines clients at work with a fault: sensors plugged and pulled in bursts, replugged on
// their port or another, restarted, the computer suspended, clients killed at each step, every
// private channel in use, the service stopped under its clients, the pipe lock handed on.
#include "tests/system/SystemTestSupport.h"

#include "ipc/protocol/TulvoStatus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace systest;
using srvtest::LONG_WAIT_MS;
using tulvo_test::WaitFor;

namespace {

// The longest a stop may take: what Windows gives a service at shutdown.
const uint32_t STOP_LIMIT_MS = 20000;
const int CHANNELS = 100;

// Every failed call of a stopped loop ended with a status of a sensor that was away, and no
// answer was ever another frame than the one asked for.
void ExpectOnlyDeviceGone(const SResult& i_x_Run) {
    ASSERT_TRUE(i_x_Run.m_b_Done);
    EXPECT_EQ(0, i_x_Run.Number("corrupt")) << i_x_Run;
    std::string l_x_Statuses = i_x_Run.Text("statuses");
    for (size_t l_st_At = 0; l_st_At < l_x_Statuses.size();) {
        const size_t l_st_End = l_x_Statuses.find(',', l_st_At);
        const std::string l_x_Entry = l_x_Statuses.substr(l_st_At, l_st_End - l_st_At);
        EXPECT_TRUE(IsDeviceGoneStatus(atoi(l_x_Entry.c_str()))) << l_x_Entry << " in " << i_x_Run;
        l_st_At = l_st_End == std::string::npos ? l_x_Statuses.size() : l_st_End + 1;
    }
}

void ExpectEchoes(CScenarioClient& io_x_Client, int i_i_Count) {
    const SResult l_x_Result = io_x_Client.Do("exchange " + std::to_string(i_i_Count));
    EXPECT_EQ(0, l_x_Result.m_i_Status) << io_x_Client.Name() << ": " << l_x_Result;
    EXPECT_EQ(i_i_Count, l_x_Result.Number("ok")) << io_x_Client.Name() << ": " << l_x_Result;
}

// Pipe 0 end to end: lock, a frame and its echo, unlock.
void ExpectLockedEcho(CScenarioClient& io_x_Client, uint32_t i_ul_LockWait = 5000) {
    EXPECT_EQ(0, io_x_Client.Do("lock " + std::to_string(i_ul_LockWait)).m_i_Status)
        << io_x_Client.Name();
    EXPECT_EQ(0, io_x_Client.Do("send").m_i_Status) << io_x_Client.Name();
    const SResult l_x_Recv = io_x_Client.Do("recv");
    EXPECT_EQ(0, l_x_Recv.m_i_Status) << io_x_Client.Name() << ": " << l_x_Recv;
    EXPECT_EQ("1", l_x_Recv.Text("match")) << io_x_Client.Name() << ": " << l_x_Recv;
    EXPECT_EQ(0, io_x_Client.Do("unlock").m_i_Status) << io_x_Client.Name();
}

class Scenario : public SystemScenario {
protected:
    CScenarioClient& Connected(const std::string& i_x_Name, const std::string& i_x_Serial) {
        CScenarioClient& l_x_Client = NewClient(i_x_Name);
        EXPECT_EQ(0, l_x_Client.Do("connect " + i_x_Serial).m_i_Status) << i_x_Name;
        return l_x_Client;
    }
    // The service with these sensors, all listed.
    void Begin(const std::vector<std::string>& i_ax_Serials) {
        StartService();
        ASSERT_TRUE(WaitListed({i_ax_Serials.begin(), i_ax_Serials.end()}));
    }
    void ExpectAllChannelsFreeBut(int i_i_InUse) {
        EXPECT_TRUE(WaitFor([&] { return FreeChannels() == CHANNELS - i_i_InUse; }, LONG_WAIT_MS))
            << FreeChannels() << " channels free, " << CHANNELS - i_i_InUse << " expected";
    }
};

TEST_F(Scenario, FourSensorsPluggedAndPulledInBurstsWhileClientsExchange) {
    const std::vector<std::string> l_ax_Serials = AddSensors(4);
    Begin(l_ax_Serials);
    std::vector<CScenarioClient*> l_apx_Runners;
    std::vector<int> l_ai_Runs;
    for (size_t l_st = 0; l_st < 5; ++l_st) {
        l_apx_Runners.push_back(
            &Connected("runner" + std::to_string(l_st), l_ax_Serials[l_st % l_ax_Serials.size()]));
        l_ai_Runs.push_back(l_apx_Runners.back()->Send("run 64"));
    }
    // A real-time log reader on the second sensor, whose frames go on through the bursts.
    ASSERT_EQ("ok", Sim("async " + SimName(l_ax_Serials[1]) + " 0x0135 50 16"));
    CScenarioClient& l_x_Watcher = Connected("watcher", l_ax_Serials[1]);
    const int l_i_Watch = l_x_Watcher.Send("watchrun 1000");

    for (int l_i_Round = 0; l_i_Round < 3; ++l_i_Round) {
        // Interleaved: a sensor returns while the next one leaves.
        for (size_t l_st = 0; l_st < l_ax_Serials.size(); ++l_st) {
            const size_t l_st_Which = (l_st + static_cast<size_t>(l_i_Round)) % l_ax_Serials.size();
            Unplug(l_ax_Serials[l_st_Which]);
            if (l_st > 0) {
                Plug(l_ax_Serials[(l_st_Which + l_ax_Serials.size() - 1) % l_ax_Serials.size()]);
            }
        }
        Plug(l_ax_Serials[(static_cast<size_t>(l_i_Round) + l_ax_Serials.size() - 1) %
                          l_ax_Serials.size()]);
    }
    ASSERT_TRUE(WaitListed({l_ax_Serials.begin(), l_ax_Serials.end()}));

    for (size_t l_st = 0; l_st < l_apx_Runners.size(); ++l_st) {
        SCOPED_TRACE(l_apx_Runners[l_st]->Name());
        ExpectOnlyDeviceGone(l_apx_Runners[l_st]->Stop(l_ai_Runs[l_st]));
        ExpectEchoes(*l_apx_Runners[l_st], 20);
    }
    const SResult l_x_Watched = l_x_Watcher.Stop(l_i_Watch);
    EXPECT_EQ(0, l_x_Watched.m_i_Status) << l_x_Watched;
    EXPECT_GT(l_x_Watched.Number("frames"), 0) << l_x_Watched;
    // After the bursts the reader gets every frame again, in order.
    const SResult l_x_After = l_x_Watcher.Do("watch 20");
    EXPECT_EQ(0, l_x_After.m_i_Status) << l_x_After;
    EXPECT_EQ(0, l_x_After.Number("gaps")) << l_x_After;
    EXPECT_EQ("ok", Sim("async " + SimName(l_ax_Serials[1]) + " off"));
    ExpectAllChannelsFreeBut(6 * 3);
}

TEST_F(Scenario, ASensorReplugOnItsPortAndOnAnotherWithAClientMidSession) {
    const std::string l_x_Serial = AddSensor();
    Begin({l_x_Serial});
    CScenarioClient& l_x_Client = Connected("client", l_x_Serial);
    EXPECT_EQ(0, l_x_Client.Do("lock").m_i_Status);
    EXPECT_EQ(0, l_x_Client.Do("send").m_i_Status);
    EXPECT_EQ("1", l_x_Client.Do("recv").Text("match"));
    // Mid-session: the pipe locked, a receive waiting, and another client waiting for the
    // lock without a time limit when the sensor goes.
    CScenarioClient& l_x_Other = Connected("other", l_x_Serial);
    const int l_i_Lock = l_x_Other.Send("lock 4294967295");
    const int l_i_Recv = l_x_Client.Send("recv 60000");
    ASSERT_TRUE(WaitTrace("cmd:0x11", 2));
    Unplug(l_x_Serial);
    const SResult l_x_Ended = l_x_Client.Wait(l_i_Recv);
    EXPECT_TRUE(IsDeviceGoneStatus(l_x_Ended.m_i_Status)) << l_x_Ended;
    EXPECT_EQ("none", l_x_Ended.Text("match"));
    const SResult l_x_NoLock = l_x_Other.Wait(l_i_Lock);
    EXPECT_EQ(TULVO_ABORTED, l_x_NoLock.m_i_Status) << l_x_NoLock;
    ASSERT_TRUE(WaitListed({}));
    const SResult l_x_Away = l_x_Client.Do("send");
    EXPECT_TRUE(IsDeviceGoneStatus(l_x_Away.m_i_Status)) << l_x_Away;

    // Back on its port: the same connection reaches it, and the lock of the device that left
    // binds nobody.
    Plug(l_x_Serial);
    ASSERT_TRUE(WaitListed({l_x_Serial}));
    EXPECT_EQ(0, l_x_Client.Do("send").m_i_Status);
    EXPECT_EQ("1", l_x_Client.Do("recv").Text("match"));
    // The lock went with the device that left: releasing it is refused, not done twice.
    EXPECT_EQ(TULVO_SIGNAL_ERROR, l_x_Client.Do("unlock").m_i_Status);
    ExpectLockedEcho(l_x_Other);
    ExpectEchoes(l_x_Client, 5);

    // On another port: a command that locks first links again by the serial number and finds
    // the sensor there; a frame sent without the lock meets the empty entry of the old port.
    Unplug(l_x_Serial);
    ASSERT_TRUE(WaitListed({}));
    const int l_i_NewCom = tulvo_test::NextComNumber();
    ASSERT_EQ("ok", Sim("plug " + SimName(l_x_Serial) + " com" + std::to_string(l_i_NewCom)));
    ASSERT_TRUE(WaitListed({l_x_Serial}));
    EXPECT_EQ(TULVO_BAD_PARAMETER, l_x_Client.Do("send").m_i_Status);
    ExpectEchoes(l_x_Client, 5);
    ExpectLockedEcho(l_x_Client);
    // The real-time log pipe takes no lock: its reader connects again.
    EXPECT_EQ(TULVO_BAD_PARAMETER, l_x_Other.Do("watch 1 500").m_i_Status);
    EXPECT_EQ(0, l_x_Other.Do("connect " + l_x_Serial).m_i_Status);
    ASSERT_EQ("ok", Sim("async " + SimName(l_x_Serial) + " 0x0135 50 16 5"));
    const SResult l_x_Log = l_x_Other.Do("watch 5");
    EXPECT_EQ(0, l_x_Log.m_i_Status) << l_x_Log;
    EXPECT_EQ(4, l_x_Log.Number("last")) << l_x_Log;
    ExpectAllChannelsFreeBut(2 * 3);
}

TEST_F(Scenario, ARebootThroughWaitForRebootWhileOtherClientsWaitOnTheSameSensor) {
    const std::string l_x_Serial = AddSensor();
    Begin({l_x_Serial});
    CScenarioClient& l_x_Rebooter = Connected("rebooter", l_x_Serial);
    CScenarioClient& l_x_LogReader = Connected("log reader", l_x_Serial);
    CScenarioClient& l_x_Receiver = Connected("receiver", l_x_Serial);
    const int l_i_Watch = l_x_LogReader.Send("watch 1 60000");
    EXPECT_EQ(0, l_x_Receiver.Do("lock").m_i_Status);
    const int l_i_Recv = l_x_Receiver.Send("recv 60000");

    const SResult l_x_Reboot = l_x_Rebooter.Do("reboot 500 30000");
    EXPECT_EQ(0, l_x_Reboot.m_i_Status) << l_x_Reboot;
    // Those who waited on the sensor that left got a status, no frame.
    const SResult l_x_Watched = l_x_LogReader.Wait(l_i_Watch);
    EXPECT_EQ(TULVO_ABORTED, l_x_Watched.m_i_Status) << l_x_Watched;
    EXPECT_EQ(0, l_x_Watched.Number("frames")) << l_x_Watched;
    const SResult l_x_Received = l_x_Receiver.Wait(l_i_Recv);
    EXPECT_EQ(TULVO_ABORTED, l_x_Received.m_i_Status) << l_x_Received;
    EXPECT_EQ("none", l_x_Received.Text("match"));

    // All three go on with the restarted sensor on their connections.
    ASSERT_TRUE(WaitListed({l_x_Serial}));
    ExpectEchoes(l_x_Rebooter, 10);
    ASSERT_EQ("ok", Sim("async " + SimName(l_x_Serial) + " 0x0135 50 16 20"));
    const SResult l_x_Log = l_x_LogReader.Do("watch 20");
    EXPECT_EQ(0, l_x_Log.m_i_Status) << l_x_Log;
    EXPECT_EQ(0, l_x_Log.Number("first")) << l_x_Log;
    EXPECT_EQ(19, l_x_Log.Number("last")) << l_x_Log;
    EXPECT_EQ(0, l_x_Receiver.Do("send").m_i_Status);
    EXPECT_EQ("1", l_x_Receiver.Do("recv").Text("match"));
    l_x_Receiver.Do("unlock");
    ExpectLockedEcho(l_x_Receiver);
    // A second reboot at once, the first one's registration gone.
    EXPECT_EQ(0, l_x_Rebooter.Do("reboot 300 30000").m_i_Status);
    ASSERT_TRUE(WaitListed({l_x_Serial}));
    ExpectEchoes(l_x_Rebooter, 5);
    ExpectAllChannelsFreeBut(3 * 3);
}

TEST_F(Scenario, SuspendAndResumeWithOneSensorMissingOnResume) {
    const std::vector<std::string> l_ax_Serials = AddSensors(3);
    Begin(l_ax_Serials);
    CScenarioClient& l_x_Runner = Connected("runner", l_ax_Serials[0]);
    const int l_i_Run = l_x_Runner.Send("run 64");
    ASSERT_EQ("ok", Sim("async " + SimName(l_ax_Serials[1]) + " 0x0135 20 16"));
    CScenarioClient& l_x_Watcher = Connected("watcher", l_ax_Serials[1]);
    const int l_i_Watch = l_x_Watcher.Send("watchrun 1000");
    CScenarioClient& l_x_Leaver = Connected("client of the missing sensor", l_ax_Serials[2]);
    ExpectEchoes(l_x_Leaver, 3);

    ASSERT_EQ(0, DevTree("power suspend"));
    const SResult l_x_Asleep = l_x_Leaver.Do("exchange 1");
    EXPECT_TRUE(IsDeviceGoneStatus(l_x_Asleep.m_i_Status)) << l_x_Asleep;
    // The third sensor leaves while the computer wakes up: its notification waits behind the
    // resume's handling, as it does on a real machine.
    tulvo_test::CChildProcess l_x_Resume;
    ASSERT_TRUE(l_x_Resume.Start(
        "\"" + tulvo_test::BinDirectory() + "tulvo_devtree.exe\" power resume", ""));
    ASSERT_TRUE(WaitTrace("PBT_APMRESUMESUSPEND", 1));
    Unplug(l_ax_Serials[2]);
    ASSERT_TRUE(l_x_Resume.WaitForExit(LONG_WAIT_MS));
    EXPECT_EQ(0u, l_x_Resume.ExitCode()) << l_x_Resume.Output();
    ASSERT_TRUE(WaitListed({l_ax_Serials[0], l_ax_Serials[1]}));
    // The wake-up configuration ends on its own even though the sensor stays away.
    if (TraceCount("VEK sont pr") > 0) {
        EXPECT_TRUE(WaitTrace("CHideDlg::OnTimer, On est sorti de la config de reveil", 1));
    }

    ExpectOnlyDeviceGone(l_x_Runner.Stop(l_i_Run));
    ExpectEchoes(l_x_Runner, 10);
    const SResult l_x_Watched = l_x_Watcher.Stop(l_i_Watch);
    EXPECT_EQ(0, l_x_Watched.m_i_Status) << l_x_Watched;
    const SResult l_x_Log = l_x_Watcher.Do("watch 10");
    EXPECT_EQ(0, l_x_Log.m_i_Status) << l_x_Log;
    EXPECT_EQ(0, l_x_Log.Number("gaps")) << l_x_Log;
    EXPECT_EQ(TULVO_DEVICE_NOT_PRESENT, l_x_Leaver.Do("exchange 1").m_i_Status);

    // The missing sensor returns to its port later: its client's connection carries on.
    Plug(l_ax_Serials[2]);
    ASSERT_TRUE(WaitListed({l_ax_Serials.begin(), l_ax_Serials.end()}));
    ExpectEchoes(l_x_Leaver, 5);
    EXPECT_EQ("ok", Sim("async " + SimName(l_ax_Serials[1]) + " off"));
    ExpectAllChannelsFreeBut(3 * 3);
}

// What a client has done when it is killed, and whether the sensor restarts under it.
struct SKillStep {
    const char* m_pc_Name;
    std::vector<std::string> m_ax_Done;
    // Sent without waiting for its result: the step the client is in when it dies.
    std::string m_x_Pending;
};

TEST_F(Scenario, AClientKilledAtEachProtocolStepLeavesTheServiceWhole) {
    const std::string l_x_Serial = AddSensor();
    Begin({l_x_Serial});
    const std::string l_x_Connect = "connect " + l_x_Serial;
    const std::vector<SKillStep> l_ax_Steps = {
        {"holding the public lock", {"public-lock"}, ""},
        {"with a channel not yet linked", {"public-lock", "open-unlinked"}, ""},
        {"connected", {l_x_Connect}, ""},
        {"holding the pipe lock", {l_x_Connect, "lock"}, ""},
        {"with its answer unread", {l_x_Connect, "lock", "send"}, ""},
        {"waiting for a frame", {l_x_Connect, "lock", "recv-request"}, ""},
        {"in the middle of exchanges", {l_x_Connect}, "run 64 progress"},
        {"waiting for the pipe lock another client holds", {l_x_Connect}, "lock 600000"},
        // The sensor stays away until it is plugged by hand, the wait has no limit.
        {"waiting for a restart", {l_x_Connect}, "reboot 3600000 4294967295"},
        {"reading the real-time log", {l_x_Connect}, "watchrun 1000 progress"},
    };
    for (const SKillStep& l_x_Step : l_ax_Steps) {
        SCOPED_TRACE(l_x_Step.m_pc_Name);
        const std::string l_x_Pending = l_x_Step.m_x_Pending.substr(0, 5);
        if (l_x_Pending == "watch") {
            ASSERT_EQ("ok", Sim("async " + SimName(l_x_Serial) + " 0x0135 50 16"));
        }
        const long long l_ll_Plugs = m_x_Sim.Stat(SimName(l_x_Serial), "plugs");
        CScenarioClient* l_px_Holder = nullptr;
        if (l_x_Pending == "lock ") {
            l_px_Holder = &Connected("holder", l_x_Serial);
            ASSERT_EQ(0, l_px_Holder->Do("lock").m_i_Status);
        }
        const int l_i_Locks = TraceCount("cmd:0x11");
        CScenarioClient& l_x_Victim = NewClient(std::string("killed ") + l_x_Step.m_pc_Name);
        for (const std::string& l_x_Command : l_x_Step.m_ax_Done) {
            ASSERT_EQ(0, l_x_Victim.Do(l_x_Command).m_i_Status) << l_x_Command;
        }
        if (!l_x_Step.m_x_Pending.empty()) {
            l_x_Victim.Send(l_x_Step.m_x_Pending);
        }
        if (l_x_Pending == "reboo") {
            ASSERT_TRUE(
                WaitFor([&] { return m_x_Sim.Stat(SimName(l_x_Serial), "last_id_in") == 0x0F01; },
                        LONG_WAIT_MS));
        } else if (l_x_Pending == "lock ") {
            ASSERT_TRUE(WaitTrace("cmd:0x11", l_i_Locks + 1));
        } else if (!l_x_Pending.empty()) {
            ASSERT_TRUE(
                WaitFor([&] { return l_x_Victim.Output().find("+ progress") != std::string::npos; },
                        LONG_WAIT_MS));
        }
        l_x_Victim.Kill();
        if (l_x_Pending == "watch") {
            // The service tells the sensor that nobody reads its real-time log any more; a
            // sensor stops sending then.
            EXPECT_TRUE(
                WaitFor([&] { return m_x_Sim.Stat(SimName(l_x_Serial), "last_id_in") == 0x0134; },
                        LONG_WAIT_MS));
            EXPECT_EQ("ok", Sim("async " + SimName(l_x_Serial) + " off"));
        }
        if (l_x_Pending == "lock " || l_x_Pending == "reboo") {
            // Its channel, its lock and its restart registration go with it, while the other
            // client still holds the lock and the sensor is still away.
            ExpectAllChannelsFreeBut(l_px_Holder != nullptr ? 3 : 0);
            EXPECT_TRUE(l_px_Holder == nullptr || l_px_Holder->Quit());
        }
        if (l_x_Pending == "reboo") {
            // The restart goes on without its client: the sensor leaves and comes back.
            EXPECT_EQ(l_ll_Plugs, m_x_Sim.Stat(SimName(l_x_Serial), "plugs"));
            ASSERT_TRUE(WaitFor([&] { return m_x_Sim.Stat(SimName(l_x_Serial), "plugged") == 0; },
                                LONG_WAIT_MS));
            EXPECT_EQ("ok", Sim("plug " + SimName(l_x_Serial)));
            ASSERT_TRUE(WaitFor(
                [&] { return m_x_Sim.Stat(SimName(l_x_Serial), "plugs") == l_ll_Plugs + 1; },
                LONG_WAIT_MS));
        }
        ASSERT_TRUE(WaitListed({l_x_Serial}));

        // The next client finds every lock free and every answer its own.
        CScenarioClient& l_x_Next = NewClient(std::string("after ") + l_x_Step.m_pc_Name);
        ASSERT_EQ(0, l_x_Next.Do(l_x_Connect).m_i_Status);
        // Whatever the dead reader left in the real-time log pipe is still whole.
        const SResult l_x_Drained = l_x_Next.Do("watch 1000 500");
        EXPECT_EQ(TULVO_TIMEOUT, l_x_Drained.m_i_Status) << l_x_Drained;
        EXPECT_EQ(0, l_x_Drained.Number("corrupt")) << l_x_Drained;
        ExpectLockedEcho(l_x_Next, LONG_WAIT_MS);
        ExpectEchoes(l_x_Next, 10);
        if (l_x_Pending == "reboo") {
            // The dead client's registration no longer takes the sensor's departure.
            EXPECT_EQ(0, l_x_Next.Do("reboot 300").m_i_Status);
        }
        EXPECT_TRUE(l_x_Next.Quit());
    }
    ExpectAllChannelsFreeBut(0);
}

TEST_F(Scenario, AHundredChannelsFromThirtyThreeProcessesExchangeAtOnce) {
    const std::vector<std::string> l_ax_Serials = AddSensors(4);
    Begin(l_ax_Serials);
    std::vector<CScenarioClient*> l_apx_Clients;
    for (int l_i = 0; l_i < 33; ++l_i) {
        l_apx_Clients.push_back(
            &Connected("client" + std::to_string(l_i), l_ax_Serials[static_cast<size_t>(l_i) % 4]));
    }
    // The hundredth channel can be had, not the hundred and first; a connection that needs
    // three is refused and leaves nothing behind.
    ExpectAllChannelsFreeBut(99);
    CScenarioClient& l_x_Refused = NewClient("refused");
    EXPECT_EQ(TULVO_TOO_MANY_CHANNELS, l_x_Refused.Do("connect " + l_ax_Serials[0]).m_i_Status);
    ExpectAllChannelsFreeBut(99);

    std::vector<int> l_ai_Runs;
    for (CScenarioClient* l_px_Client : l_apx_Clients) {
        l_ai_Runs.push_back(l_px_Client->Send("exchange 20"));
    }
    for (size_t l_st = 0; l_st < l_apx_Clients.size(); ++l_st) {
        const SResult l_x_Result = l_apx_Clients[l_st]->Wait(l_ai_Runs[l_st], 4 * LONG_WAIT_MS);
        EXPECT_EQ(0, l_x_Result.m_i_Status) << l_apx_Clients[l_st]->Name() << ": " << l_x_Result;
        EXPECT_EQ(20, l_x_Result.Number("ok")) << l_apx_Clients[l_st]->Name();
    }
    // A third of them killed: their channels come back, and new processes take them.
    for (size_t l_st = 0; l_st < 11; ++l_st) {
        l_apx_Clients[l_st]->Kill();
    }
    ExpectAllChannelsFreeBut(22 * 3);
    // The slots of the channels just counted come free a moment after their answers.
    for (int l_i = 0; l_i < 11; ++l_i) {
        CScenarioClient& l_x_New = NewClient("new client" + std::to_string(l_i));
        const std::string l_x_Connect = "connect " + l_ax_Serials[static_cast<size_t>(l_i) % 4];
        EXPECT_TRUE(
            WaitFor([&] { return l_x_New.Do(l_x_Connect).m_i_Status == TULVO_OK; }, LONG_WAIT_MS));
        ExpectEchoes(l_x_New, 10);
    }
    ExpectAllChannelsFreeBut(99);
}

// The run routine's stop with clients attached in every kind of wait: each gets a status for
// the call it is in and for the next one, and the service ends within the limit.
TEST_F(Scenario, AServiceStopWithClientsAttachedGivesEveryClientAStatus) {
    const std::vector<std::string> l_ax_Serials = AddSensors(4);
    Begin(l_ax_Serials);
    struct SPending {
        CScenarioClient* m_px_Client;
        int m_i_Number;
    };
    std::vector<SPending> l_ax_Pending;
    CScenarioClient& l_x_Runner = Connected("exchanging", l_ax_Serials[0]);
    l_ax_Pending.push_back({&l_x_Runner, l_x_Runner.Send("run 64")});
    CScenarioClient& l_x_Receiver = Connected("receiving", l_ax_Serials[1]);
    EXPECT_EQ(0, l_x_Receiver.Do("lock").m_i_Status);
    l_ax_Pending.push_back({&l_x_Receiver, l_x_Receiver.Send("recv 60000")});
    CScenarioClient& l_x_Holder = Connected("holding the lock", l_ax_Serials[2]);
    EXPECT_EQ(0, l_x_Holder.Do("lock").m_i_Status);
    CScenarioClient& l_x_Locker = Connected("waiting for the lock", l_ax_Serials[2]);
    l_ax_Pending.push_back({&l_x_Locker, l_x_Locker.Send("lock 60000")});
    CScenarioClient& l_x_Rebooter = Connected("waiting for a restart", l_ax_Serials[3]);
    l_ax_Pending.push_back({&l_x_Rebooter, l_x_Rebooter.Send("reboot 60000 60000")});
    CScenarioClient& l_x_Watcher = Connected("reading the real-time log", l_ax_Serials[0]);
    l_ax_Pending.push_back({&l_x_Watcher, l_x_Watcher.Send("watch 1 60000")});
    CScenarioClient& l_x_Idle = Connected("idle", l_ax_Serials[1]);
    // A long write without a time-out to a sensor that no longer reads.
    ASSERT_EQ("ok", Sim("stall " + SimName(l_ax_Serials[1]) + " on"));
    CScenarioClient& l_x_Writer = Connected("writing to a stalled sensor", l_ax_Serials[1]);
    l_ax_Pending.push_back({&l_x_Writer, l_x_Writer.Send("send 1048576 4294967295")});
    CScenarioClient& l_x_Public = NewClient("in a public conversation");
    EXPECT_EQ(0, l_x_Public.Do("public-lock").m_i_Status);
    // Every wait is in the service: the lock request and the restart reached it.
    ASSERT_TRUE(WaitTrace("cmd:0x11", 3));
    ASSERT_TRUE(
        WaitFor([&] { return m_x_Sim.Stat(SimName(l_ax_Serials[3]), "last_id_in") == 0x0F01; },
                LONG_WAIT_MS));
    ASSERT_TRUE(WaitFor([&] { return m_x_Sim.Stat(SimName(l_ax_Serials[1]), "in_queued") > 0; },
                        LONG_WAIT_MS));

    const uint32_t l_ul_Stop = StopService(STOP_LIMIT_MS);
    printf("the service stopped in %u ms\n", l_ul_Stop);
    EXPECT_EQ(0u, m_x_Service.ExitCode());
    for (const SPending& l_x_Pending : l_ax_Pending) {
        const SResult l_x_Result =
            l_x_Pending.m_px_Client->Stop(l_x_Pending.m_i_Number, LONG_WAIT_MS);
        EXPECT_TRUE(l_x_Result.m_b_Done) << l_x_Pending.m_px_Client->Name();
        EXPECT_GE(0, l_x_Result.Number("corrupt")) << l_x_Result;
        // The exchanges went on until the service went; the lock's holder ended with the
        // service's first step, so the lock passed on before its waiter's channel ended too.
        if (l_x_Pending.m_px_Client != &l_x_Runner && l_x_Pending.m_px_Client != &l_x_Locker) {
            EXPECT_NE(0, l_x_Result.m_i_Status)
                << l_x_Pending.m_px_Client->Name() << ": " << l_x_Result;
        }
    }
    for (CScenarioClient* l_px_Client : {&l_x_Runner, &l_x_Receiver, &l_x_Holder, &l_x_Locker,
                                         &l_x_Rebooter, &l_x_Watcher, &l_x_Idle, &l_x_Writer}) {
        const SResult l_x_Next = l_px_Client->Do("exchange 1");
        EXPECT_TRUE(l_x_Next.m_i_Status == TULVO_TS_SERVER_NOT_RUNNING ||
                    l_x_Next.m_i_Status == TULVO_TS_PEER_LOST)
            << l_px_Client->Name() << ": " << l_x_Next;
    }
    EXPECT_NE(0, l_x_Public.Do("open-unlinked").m_i_Status);
    EXPECT_EQ(TULVO_TS_SERVER_NOT_RUNNING, l_x_Idle.Do("list").m_i_Status);
}

TEST_F(Scenario, ThePipeLockIsHandedFromProcessToProcess) {
    const std::string l_x_Serial = AddSensor();
    Begin({l_x_Serial});
    CScenarioClient& l_x_First = Connected("first", l_x_Serial);
    CScenarioClient& l_x_Second = Connected("second", l_x_Serial);
    CScenarioClient& l_x_Third = Connected("third", l_x_Serial);
    CScenarioClient& l_x_Impatient = Connected("impatient", l_x_Serial);

    EXPECT_EQ(0, l_x_First.Do("lock").m_i_Status);
    const int l_i_SecondLock = l_x_Second.Send("lock 60000");
    const int l_i_ThirdLock = l_x_Third.Send("lock 60000");
    EXPECT_EQ(TULVO_TIMEOUT, l_x_Impatient.Do("lock 300").m_i_Status);
    // The lock keeps nobody from the other pipes.
    ExpectEchoes(l_x_Impatient, 3);
    EXPECT_EQ(0, l_x_First.Do("send").m_i_Status);
    EXPECT_EQ("1", l_x_First.Do("recv").Text("match"));
    EXPECT_EQ(0, l_x_First.Do("unlock").m_i_Status);

    // One waiter gets it; the other only when the holder dies holding it.
    SResult l_x_Got;
    CScenarioClient* l_px_Holder = nullptr;
    CScenarioClient* l_px_Waiter = nullptr;
    int l_i_WaiterLock = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            if ((l_x_Got = l_x_Second.Wait(l_i_SecondLock, 0)).m_b_Done) {
                l_px_Holder = &l_x_Second;
                l_px_Waiter = &l_x_Third;
                l_i_WaiterLock = l_i_ThirdLock;
            } else if ((l_x_Got = l_x_Third.Wait(l_i_ThirdLock, 0)).m_b_Done) {
                l_px_Holder = &l_x_Third;
                l_px_Waiter = &l_x_Second;
                l_i_WaiterLock = l_i_SecondLock;
            }
            return l_px_Holder != nullptr;
        },
        LONG_WAIT_MS));
    EXPECT_EQ(0, l_x_Got.m_i_Status) << l_x_Got;
    EXPECT_EQ(TULVO_TIMEOUT, l_x_Impatient.Do("lock 300").m_i_Status);
    EXPECT_EQ(0, l_px_Holder->Do("send").m_i_Status);
    EXPECT_EQ("1", l_px_Holder->Do("recv").Text("match"));
    l_px_Holder->Kill();
    const SResult l_x_Taken = l_px_Waiter->Wait(l_i_WaiterLock);
    EXPECT_EQ(0, l_x_Taken.m_i_Status) << l_x_Taken;
    EXPECT_EQ(0, l_px_Waiter->Do("send").m_i_Status);
    EXPECT_EQ("1", l_px_Waiter->Do("recv").Text("match"));
    // Its owner ends while holding it: the lock goes with its connection.
    const int l_i_Last = l_x_Impatient.Send("lock 60000");
    EXPECT_TRUE(l_px_Waiter->Quit());
    EXPECT_EQ(0, l_x_Impatient.Wait(l_i_Last).m_i_Status);
    EXPECT_EQ(0, l_x_Impatient.Do("send").m_i_Status);
    EXPECT_EQ("1", l_x_Impatient.Do("recv").Text("match"));
    EXPECT_EQ(0, l_x_Impatient.Do("unlock").m_i_Status);
    ExpectLockedEcho(l_x_First);
    ExpectAllChannelsFreeBut(2 * 3);
}

} // namespace
