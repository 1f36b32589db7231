// Device objects against the sensor simulator over a pty link under wine (run through
// run_with_sim.py), with a test owner in place of the device monitor.
#include "tests/device/manager/GestVekTestSupport.h"

#include "tests/device/link/IlvRecord.h"
#include "tests/device/link/SimLinkSupport.h"
#include "device/link/Ilv.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using manager_test::CTestOwner;
using manager_test::CTreeDevice;
using tulvo_test::CTraceCapture;
using tulvo_test::IlvRecord;
using tulvo_test::WaitFor;

namespace {

const uint32_t LONG_WAIT_MS = 30000;
const uint16_t SIM_ILV_ECHO = 0x0F00;
const std::string DEFAULT_SERIAL(GESTVEK_SERIAL_NUMBER_LENGTH, '0');

class DeviceObject : public ::testing::Test {
protected:
    void SetUp() override {
        m_x_Dir.Enter();
        ASSERT_TRUE(m_x_Sim.Connect()) << "TULVO_SIM_PORT must name the simulator's port";
        const std::string l_x_Com = std::to_string(tulvo_test::NextComNumber());
        m_x_Port = "COM" + l_x_Com;
        m_x_Sensor = "m" + l_x_Com;
        m_x_Serial = ("SN" + l_x_Com + "ABCDEFGHIJKLMNOPQRST").substr(0, 21);
        ASSERT_EQ("ok", m_x_Sim.Command("add " + m_x_Sensor + " com" + l_x_Com + " " + m_x_Serial));
        m_px_Tree.reset(new CTreeDevice(m_x_Port, m_x_Serial));
        ASSERT_TRUE(m_px_Tree->IsAdded());
        m_px_Log.reset(new CTraceCapture);
    }
    void TearDown() override {
        if (HasFailure()) {
            printf("---- trace log\n%s", CTraceCapture::Text().c_str());
        }
        m_x_Slot.Remove();
        m_px_Log.reset();
        m_x_Sim.Command("remove " + m_x_Sensor);
        m_px_Tree.reset();
        m_x_Dir.Leave();
    }
    // Builds, opens and lists the object as the device monitor does.
    CGestVek* Open() {
        CGestVekHold l_x_Hold = CGestVek::Create(&m_x_Owner, m_x_Port.c_str(), 1);
        EXPECT_EQ(TULVO_OK, l_x_Hold->AllocateIfAllowed());
        CGestVek* l_px_GestVek = l_x_Hold.Get();
        m_x_Slot.Put(std::move(l_x_Hold));
        return l_px_GestVek;
    }
    CGestVek_Pipe* Pipe(int32_t i_i_Index) {
        CGestVek_Pipe* l_px_Pipe = nullptr;
        EXPECT_EQ(TULVO_OK, m_x_Slot.Peek()->GetPipe(i_i_Index, &l_px_Pipe));
        return l_px_Pipe;
    }
    std::string Sim(const std::string& i_x_Verb, const std::string& i_x_Args) {
        return m_x_Sim.Command(i_x_Verb + " " + m_x_Sensor + " " + i_x_Args);
    }
    long long Stat(const std::string& i_x_Field) { return m_x_Sim.Stat(m_x_Sensor, i_x_Field); }
    // The sensor sends one frame holding these bytes.
    void Inject(const std::vector<uint8_t>& i_x_Bytes) {
        std::string l_x_Hex;
        for (uint8_t l_uc_Byte : i_x_Bytes) {
            char l_ac_Pair[3];
            snprintf(l_ac_Pair, sizeof(l_ac_Pair), "%02X", l_uc_Byte);
            l_x_Hex += l_ac_Pair;
        }
        ASSERT_EQ("ok", Sim("frame", l_x_Hex));
    }
    int32_t Write(CGestVek_Pipe* i_px_Pipe, uint16_t i_us_Id,
                  uint32_t i_ul_Timeout = LONG_WAIT_MS) {
        const std::vector<uint8_t> l_x_Frame = IlvRecord(i_us_Id, {1, 2});
        return i_px_Pipe->WriteFrame(i_ul_Timeout, l_x_Frame.data(),
                                     static_cast<uint32_t>(l_x_Frame.size()));
    }
    // The identifier of the next frame the pipe gets, or the failure status.
    static int32_t Next(CGestVek_Pipe* i_px_Pipe, uint32_t i_ul_Timeout = LONG_WAIT_MS) {
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        const int32_t l_i_Status =
            i_px_Pipe->ReadFrame(i_ul_Timeout, &l_puc_Frame, &l_ul_Length, nullptr);
        const int32_t l_i_Id = GestVek_FrameIdentifier(l_puc_Frame, l_ul_Length);
        i_px_Pipe->FreeReadFrame(&l_puc_Frame);
        return l_i_Status != TULVO_OK ? l_i_Status : l_i_Id;
    }
    bool WaitLastIn(long long i_ll_FramesIn, int i_i_Id) {
        return WaitFor(
            [&] { return Stat("frames_in") == i_ll_FramesIn && Stat("last_id_in") == i_i_Id; },
            LONG_WAIT_MS);
    }

    tulvo_test::CTempDir m_x_Dir;
    tulvo_test::CSimControl m_x_Sim;
    std::string m_x_Port, m_x_Sensor, m_x_Serial;
    std::unique_ptr<CTreeDevice> m_px_Tree;
    std::unique_ptr<CTraceCapture> m_px_Log;
    CTestOwner m_x_Owner;
    CGestVekSlot m_x_Slot;
};

TEST_F(DeviceObject, OpensAndRoutesEveryFrameByTheFirstRuleThatApplies) {
    CGestVek* l_px_GestVek = Open();
    EXPECT_EQ(m_x_Serial, l_px_GestVek->GetReportedSerialNumber());
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek::Allocate " + m_x_Serial + " RL 1\n"));
    // At run level 1 the frames that need it go out (the sensor does not know them).
    EXPECT_EQ(TULVO_OK, Write(Pipe(0), 0x0170));
    EXPECT_EQ(ILV_INVALID, Next(Pipe(0)));
    ASSERT_EQ("ok", Sim("silent", "on"));

    // A reply goes to the pipe that waits for it, once; the next goes to the normal pipe.
    EXPECT_EQ(TULVO_OK, Write(Pipe(1), SIM_ILV_ECHO));
    Inject(IlvRecord(SIM_ILV_ECHO));
    EXPECT_EQ(SIM_ILV_ECHO, Next(Pipe(1)));
    Inject(IlvRecord(SIM_ILV_ECHO));
    EXPECT_EQ(SIM_ILV_ECHO, Next(Pipe(0)));
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek::HandleReceiveFrame: I=0x0F00 P=1\n"));
    // Two pipes waiting for the same identifier: the lower one first.
    EXPECT_EQ(TULVO_OK, Write(Pipe(2), SIM_ILV_ECHO));
    EXPECT_EQ(TULVO_OK, Write(Pipe(1), SIM_ILV_ECHO));
    Inject(IlvRecord(SIM_ILV_ECHO));
    EXPECT_EQ(SIM_ILV_ECHO, Next(Pipe(1)));
    Inject(IlvRecord(SIM_ILV_ECHO));
    EXPECT_EQ(SIM_ILV_ECHO, Next(Pipe(2)));
    // Identifier 0: the first pipe waiting for nothing.
    EXPECT_EQ(TULVO_OK, Write(Pipe(0), SIM_ILV_ECHO));
    Inject(IlvRecord(0x0000));
    EXPECT_EQ(0x0000, Next(Pipe(1)));
    // ILV_INVALID: the pipe that wrote last, whose own wait stays in place.
    EXPECT_EQ(TULVO_OK, Write(Pipe(2), 0x0F02));
    Inject(IlvRecord(ILV_INVALID));
    EXPECT_EQ(ILV_INVALID, Next(Pipe(2)));
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek::HandleReceiveFrame: I=0x0050(ILV_INVALID) P=2\n"));
    Inject(IlvRecord(0x0F02));
    EXPECT_EQ(0x0F02, Next(Pipe(2)));
    // Real-time log frames: pipe 2, unless a pipe waits for one.
    Inject(IlvRecord(ILV_VEK_ASYNC_REALTIMELOG));
    EXPECT_EQ(ILV_VEK_ASYNC_REALTIMELOG, Next(Pipe(2)));
    EXPECT_EQ(
        1, CTraceCapture::Count("CGestVek::HandleReceiveFrame: I=0x0135(ILV_VEK_ASYNC_REALTIMELOG) "
                                "P=TULVOSERV_REALTIMELOGPIPE\n"));
    EXPECT_EQ(TULVO_OK, Write(Pipe(1), ILV_VEK_ASYNC_REALTIMELOG));
    Inject(IlvRecord(ILV_VEK_ASYNC_REALTIMELOG));
    EXPECT_EQ(ILV_VEK_ASYNC_REALTIMELOG, Next(Pipe(1)));
    // Frames too short for their identifier claim no wait (pipe 1 waits for nothing): the
    // normal pipe, read no further than they go.
    Inject({0xFE, 0x02});
    EXPECT_EQ(0, Next(Pipe(0)));
    Inject({});
    EXPECT_EQ(0, Next(Pipe(0)));
    EXPECT_EQ(
        2, CTraceCapture::Count("CGestVek::HandleReceiveFrame: I=0x0000 P=TULVOSERV_NORMALPIPE\n"));
}

TEST_F(DeviceObject, LostAsyncFrameIsCancelledOnlyWhenNoUserIsLeft) {
    Open();
    ASSERT_EQ("ok", Sim("silent", "on"));
    const long long l_ll_In = Stat("frames_in");
    // Two frames, nobody reading: the second replaces the first after 1000 ms.
    ASSERT_EQ("ok", Sim("async", "0x0071 0 16 2"));
    EXPECT_TRUE(WaitLastIn(l_ll_In + 1, ILV_CANCEL));
    EXPECT_EQ(ILV_ASYNC_MESSAGE, Next(Pipe(0)));
    ASSERT_EQ("ok", Sim("async", "0x0135 0 16 2"));
    EXPECT_TRUE(WaitLastIn(l_ll_In + 2, ILV_REALTIMELOG_CANCEL));
    EXPECT_EQ(ILV_VEK_ASYNC_REALTIMELOG, Next(Pipe(2)));

    GestVekPipe_ConnectionSlot l_px_Client = &m_x_Sim;
    ASSERT_EQ(TULVO_OK, Pipe(0)->GetTheLock(0, &l_px_Client, GetCurrentProcessId()));
    ASSERT_EQ("ok", Sim("async", "0x0071 0 16 2"));
    EXPECT_TRUE(WaitFor(
        [] {
            return CTraceCapture::Count("CGestVek_Pipe::SetReadEvent : I=0x0071 loss of 1 read by "
                                        "the user => Crush\n") == 1;
        },
        LONG_WAIT_MS));
    EXPECT_EQ(ILV_ASYNC_MESSAGE, Next(Pipe(0)));
    // The second frame is deposited after any cancel would have gone: the next record the
    // sensor gets is ours.
    EXPECT_EQ(TULVO_OK, Write(Pipe(1), SIM_ILV_ECHO));
    EXPECT_TRUE(WaitLastIn(l_ll_In + 3, SIM_ILV_ECHO));
    EXPECT_EQ(TULVO_OK, Pipe(0)->ReleaseTheLock());
}

// A holder that dies between its request and the answer, or lets go of the lock before it
// came: the next holder never reads that answer, however late it comes within the write's
// time-out, and no other frame goes with it.
TEST_F(DeviceObject, OnlyTheAnswerOwedToAHolderThatDiedIsDiscarded) {
    Open();
    ASSERT_EQ("ok", Sim("silent", "on"));
    GestVekPipe_ConnectionSlot l_px_Client = &m_x_Sim;
    // A holder takes the lock over from the last one, writes a request or not and dies holding
    // it (or releases it).
    auto l_x_HolderDies = [&](int32_t i_i_Pipe, uint16_t i_us_Request, bool i_b_Releases = false) {
        std::thread([&] {
            EXPECT_EQ(TULVO_OK, Pipe(i_i_Pipe)->GetTheLock(LONG_WAIT_MS, &l_px_Client, 22));
            EXPECT_TRUE(i_us_Request == 0 || Write(Pipe(i_i_Pipe), i_us_Request) == TULVO_OK);
            EXPECT_TRUE(!i_b_Releases || Pipe(i_i_Pipe)->ReleaseTheLock() == TULVO_OK);
        }).join();
    };
    auto l_x_Arrives = [&](uint16_t i_us_Id) {
        const int l_i_Frames = CTraceCapture::Count("HandleReceiveFrame: I=");
        Inject(IlvRecord(i_us_Id));
        EXPECT_TRUE(
            WaitFor([&] { return CTraceCapture::Count("HandleReceiveFrame: I=") > l_i_Frames; },
                    LONG_WAIT_MS));
    };
    // Owed on the real-time log pipe: the log frame stays, the answer goes when it comes.
    l_x_HolderDies(2, 0x0F03);
    l_x_Arrives(ILV_VEK_ASYNC_REALTIMELOG);
    l_x_HolderDies(2, 0);
    l_x_Arrives(0x0F03);
    EXPECT_EQ(ILV_VEK_ASYNC_REALTIMELOG, Next(Pipe(2)));
    EXPECT_TRUE(WaitFor(
        [] { return CTraceCapture::Count("I=0x0F03 answer owed to process 22 discarded\n") == 1; },
        LONG_WAIT_MS));
    // The answer comes after the new holder sent the same request: each gets its own.
    for (const bool l_b_Releases : {false, true}) {
        l_x_HolderDies(1, SIM_ILV_ECHO, l_b_Releases);
        ASSERT_EQ(TULVO_OK, Pipe(1)->GetTheLock(LONG_WAIT_MS, &l_px_Client, 44));
        EXPECT_EQ(TULVO_OK, Write(Pipe(1), SIM_ILV_ECHO));
        Inject(IlvRecord(SIM_ILV_ECHO, {0xDE}));
        Inject(IlvRecord(SIM_ILV_ECHO, {0x44}));
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        EXPECT_EQ(TULVO_OK, Pipe(1)->ReadFrame(LONG_WAIT_MS, &l_puc_Frame, &l_ul_Length, nullptr));
        EXPECT_EQ(IlvRecord(SIM_ILV_ECHO, {0x44}),
                  std::vector<uint8_t>(l_puc_Frame, l_puc_Frame + l_ul_Length));
        Pipe(1)->FreeReadFrame(&l_puc_Frame);
        EXPECT_EQ(TULVO_OK, Pipe(1)->ReleaseTheLock());
    }
}

// The byte rules of the replies (device status, short values) are GestVekRecordsTest's.
TEST_F(DeviceObject, SensorThatDoesNotAnswerOrAnswersInvalidKeepsTheDefaults) {
    // A sensor that does not answer, removed while it opens: the exchanges end at once, and
    // the object keeps the defaults.
    ASSERT_EQ("ok", Sim("silent", "on"));
    {
        CGestVekHold l_x_Hold = CGestVek::Create(&m_x_Owner, m_x_Port.c_str(), 1);
        std::thread l_x_Opener([&] { EXPECT_EQ(TULVO_OK, l_x_Hold->Allocate()); });
        EXPECT_TRUE(WaitFor([] { return CTraceCapture::Count("WriteFrame (I=0x0080)") > 0; },
                            LONG_WAIT_MS));
        l_x_Hold->Stop();
        l_x_Opener.join();
        EXPECT_EQ(DEFAULT_SERIAL, l_x_Hold->GetReportedSerialNumber());
        EXPECT_EQ(0xFF, l_x_Hold->GetReportedRunLevel());
    }
    ASSERT_EQ("ok", Sim("reset", ""));
    ASSERT_EQ("ok", Sim("invalid", "on"));
    CGestVek* l_px_GestVek = Open();
    EXPECT_EQ(DEFAULT_SERIAL, l_px_GestVek->GetReportedSerialNumber());
    EXPECT_EQ(0xFF, l_px_GestVek->GetReportedRunLevel());
    EXPECT_EQ(2, CTraceCapture::Count("CGestVek::Allocate " + DEFAULT_SERIAL + " RL 255\n"));
}

TEST_F(DeviceObject, SuspendEndsWaitsAndResumeBringsTheLinkBack) {
    CGestVek* l_px_GestVek = Open();
    std::thread l_x_Reader([&] { EXPECT_EQ(TULVO_ABORTED, Next(Pipe(0), INFINITE)); });
    EXPECT_EQ(TULVO_OK, l_px_GestVek->Suspend());
    l_x_Reader.join();
    ASSERT_TRUE(WaitFor([] { return CTraceCapture::Count("ThreadProcInternal : Done\n") == 1; },
                        LONG_WAIT_MS));
    EXPECT_EQ(TULVO_OK, l_px_GestVek->Resume());
    ASSERT_TRUE(WaitFor([] { return CTraceCapture::Count("ThreadProcInternal Starting\n") == 2; },
                        LONG_WAIT_MS));
    EXPECT_EQ(TULVO_OK, Write(Pipe(1), SIM_ILV_ECHO));
    EXPECT_EQ(SIM_ILV_ECHO, Next(Pipe(1)));
}

TEST_F(DeviceObject, GetPipeOpensOnDemandOnceAndNeverSucceedsWithoutAPipe) {
    {
        CGestVekHold l_x_Closed = CGestVek::Create(&m_x_Owner, m_x_Port.c_str(), 0);
        EXPECT_EQ(TULVO_OK, l_x_Closed->AllocateIfAllowed());
        CGestVek_Pipe* l_px_Pipe = nullptr;
        EXPECT_EQ(TULVO_PORT_NOT_OPEN, l_x_Closed->GetPipe(0, &l_px_Pipe));
        EXPECT_EQ(nullptr, l_px_Pipe);
    }
    {
        // A slow sensor: no channel gets a pipe before the sensor has told its serial number.
        ASSERT_EQ("ok", Sim("delay", "300"));
        CGestVekHold l_x_OnDemand = CGestVek::Create(&m_x_Owner, m_x_Port.c_str(), 1);
        CGestVek_Pipe* l_apx_Pipes[4] = {};
        std::vector<std::thread> l_x_Channels;
        for (CGestVek_Pipe*& l_px_Pipe : l_apx_Pipes) {
            l_x_Channels.emplace_back([&] {
                EXPECT_EQ(TULVO_OK, l_x_OnDemand->GetPipe(2, &l_px_Pipe));
                EXPECT_EQ(m_x_Serial, l_x_OnDemand->GetReportedSerialNumber());
            });
        }
        for (std::thread& l_x_Channel : l_x_Channels) {
            l_x_Channel.join();
        }
        for (CGestVek_Pipe* l_px_Pipe : l_apx_Pipes) {
            EXPECT_TRUE(l_px_Pipe != nullptr && l_px_Pipe == l_apx_Pipes[0]);
        }
        EXPECT_EQ(1, CTraceCapture::Count("Starting Recv Monitor for " + m_x_Port));
        CGestVek_Pipe* l_px_Pipe = nullptr;
        EXPECT_EQ(TULVO_NO_RESPONSE, l_x_OnDemand->GetPipe(3, &l_px_Pipe));
    }
    // A port that cannot be opened: every attempt fails the same way and tells the owner.
    const std::string l_x_Absent = "COM" + std::to_string(tulvo_test::NextComNumber());
    CTreeDevice l_x_AbsentDevice(l_x_Absent, "ABSENT" + l_x_Absent);
    CGestVekHold l_x_Hold = CGestVek::Create(&m_x_Owner, l_x_Absent.c_str(), 1);
    EXPECT_EQ(TULVO_PORT_NOT_OPEN, l_x_Hold->AllocateIfAllowed());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, l_x_Hold->GetOpenError());
    EXPECT_EQ(1, m_x_Owner.ErrorNotices());
    CGestVek_Pipe* l_px_Pipe = nullptr;
    EXPECT_EQ(TULVO_PORT_NOT_OPEN, l_x_Hold->GetPipe(0, &l_px_Pipe));
    EXPECT_EQ(1, CTraceCapture::Count("CGestVek::GetPipe Not opened because (SysErr No:2)"));
    EXPECT_EQ(2, m_x_Owner.ErrorNotices());
}

TEST_F(DeviceObject, RemovedWhileOneChannelReadsAndOneWrites) {
    ASSERT_EQ("ok", Sim("level", "255"));
    Open();
    std::atomic<int> l_i_Left{0};
    bool l_b_DestroyedAfterBoth = false;
    DWORD l_ul_DestroyedOn = 0;
    m_x_Owner.m_x_OnDestroyed = [&](CGestVek*) {
        l_b_DestroyedAfterBoth = l_i_Left == 2;
        l_ul_DestroyedOn = GetCurrentThreadId();
    };
    // A channel command: a hold for its length, dropped after it is done.
    auto l_x_Channel = [&](int32_t i_i_Pipe, int32_t* o_pi_Status, auto i_x_Command) {
        return std::thread([=, &l_i_Left] {
            CGestVekHold l_x_Hold;
            ASSERT_EQ(GESTVEK_SLOT_HELD, m_x_Slot.Hold(&l_x_Hold));
            CGestVek_Pipe* l_px_Pipe = nullptr;
            ASSERT_EQ(TULVO_OK, l_x_Hold->GetPipe(i_i_Pipe, &l_px_Pipe));
            *o_pi_Status = i_x_Command(l_px_Pipe);
            ++l_i_Left;
        });
    };
    // The sensor stops reading: a large frame fills the line and its write waits.
    ASSERT_EQ("ok", Sim("stall", "on"));
    int32_t l_i_ReadStatus = 1, l_i_WriteStatus = 1;
    std::thread l_x_Reader = l_x_Channel(
        1, &l_i_ReadStatus, [](CGestVek_Pipe* i_px_Pipe) { return Next(i_px_Pipe, INFINITE); });
    const std::vector<uint8_t> l_x_Large = IlvRecord(SIM_ILV_ECHO, tulvo_test::Pattern(1 << 20, 3));
    std::thread l_x_Writer = l_x_Channel(2, &l_i_WriteStatus, [&](CGestVek_Pipe* i_px_Pipe) {
        return i_px_Pipe->WriteFrame(INFINITE, l_x_Large.data(),
                                     static_cast<uint32_t>(l_x_Large.size()));
    });
    // Once the writer holds the write lock, a short write times out; a frame this run level
    // refuses does not even wait for the lock.
    EXPECT_TRUE(
        WaitFor([&] { return Write(Pipe(0), SIM_ILV_ECHO, 20) == TULVO_TIMEOUT; }, LONG_WAIT_MS));
    EXPECT_EQ(TULVO_FRAME_REFUSED, Write(Pipe(0), 0x0170, 20));

    m_x_Slot.Remove();
    l_x_Reader.join();
    l_x_Writer.join();
    EXPECT_EQ(TULVO_ABORTED, l_i_ReadStatus);
    // The write had no time-out: only the removal ended it.
    EXPECT_EQ(TULVO_ABORTED, l_i_WriteStatus);
    // The writer left last: the object came back to this (its home) thread to be destroyed.
    EXPECT_EQ(0, m_x_Owner.Destroyed());
    ASSERT_TRUE(m_x_Owner.DestroyNextReturned(LONG_WAIT_MS));
    EXPECT_NE(GetCurrentThreadId(), m_x_Owner.ReturnedOnThread());
    EXPECT_EQ(GetCurrentThreadId(), l_ul_DestroyedOn);
    EXPECT_TRUE(l_b_DestroyedAfterBoth);
    EXPECT_EQ(GESTVEK_SLOT_EMPTY, m_x_Slot.GetState());
    ASSERT_EQ("ok", Sim("stall", "off"));
}

TEST_F(DeviceObject, RemovedWhileChannelsComeAndGo) {
    Open();
    ASSERT_EQ("ok", Sim("echo", "raw"));
    std::atomic<int> l_i_Inside{0}, l_i_Rounds{0};
    int l_i_InsideAtDestruction = -1;
    m_x_Owner.m_x_OnDestroyed = [&](CGestVek*) { l_i_InsideAtDestruction = l_i_Inside; };
    std::vector<std::thread> l_x_Channels;
    for (int32_t l_i_Pipe = 0; l_i_Pipe < GESTVEK_PIPE_COUNT; ++l_i_Pipe) {
        l_x_Channels.emplace_back([&, l_i_Pipe] {
            for (;;) {
                CGestVekHold l_x_Hold;
                if (m_x_Slot.Hold(&l_x_Hold) != GESTVEK_SLOT_HELD) {
                    return;
                }
                ++l_i_Inside;
                CGestVek_Pipe* l_px_Pipe = nullptr;
                if (l_x_Hold->GetPipe(l_i_Pipe, &l_px_Pipe) == TULVO_OK &&
                    Write(l_px_Pipe, static_cast<uint16_t>(0x0A00 + l_i_Pipe)) == TULVO_OK) {
                    Next(l_px_Pipe, 10000);
                }
                --l_i_Inside;
                ++l_i_Rounds;
            }
        });
    }
    EXPECT_TRUE(WaitFor([&] { return l_i_Rounds >= 30; }, LONG_WAIT_MS));
    m_x_Slot.Remove();
    for (std::thread& l_x_Channel : l_x_Channels) {
        l_x_Channel.join();
    }
    // Destroyed by the last holder: this thread's removal, or a channel's hand-back.
    if (m_x_Owner.Destroyed() == 0) {
        ASSERT_TRUE(m_x_Owner.DestroyNextReturned(LONG_WAIT_MS));
    }
    EXPECT_EQ(1, m_x_Owner.Destroyed());
    EXPECT_EQ(0, l_i_InsideAtDestruction);
}

} // namespace
