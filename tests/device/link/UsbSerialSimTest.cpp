// The serial link under wine against the sensor simulator on a pty (run through
// run_with_sim.py, which starts the simulator and preloads the pty modem-line library).
#include "tests/device/link/SimLinkSupport.h"

#include "tests/device/link/IlvRecord.h"
#include "device/link/Ilv.h"
#include "device/link/UsbSerialProtocole.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <thread>

using tulvo_test::CRecordingOwner;
using tulvo_test::CSimControl;
using tulvo_test::CTraceCapture;
using tulvo_test::Pattern;
using tulvo_test::WaitFor;

namespace {

// Generous limits that still end a case well within its test time limit.
const uint32_t LONG_WAIT_MS = 10000;
const uint32_t WRITE_TIMEOUT_MS = 10000;
const uint16_t SIM_ILV_ECHO = 0x0F00;
const uint16_t SIM_ILV_RESTART = 0x0F01;
const char FRAME_COMPLETE_READS_KEY[] =
    "SYSTEM\\CurrentControlSet\\Services\\VEK USB Service\\Parameters";

// The receive mode the runner chose for this run (run_with_sim.py --frame-complete-reads).
bool RunsFrameCompleteReads() {
    const char* l_pc_Mode = getenv("TULVO_FRAME_COMPLETE_READS");
    return l_pc_Mode != nullptr && strcmp(l_pc_Mode, "1") == 0;
}

bool SetFrameCompleteReads(bool i_b_On) {
    const DWORD l_ul_Value = i_b_On ? 1 : 0;
    return RegSetKeyValueA(HKEY_LOCAL_MACHINE, FRAME_COMPLETE_READS_KEY, "FrameCompleteReads",
                           REG_DWORD, &l_ul_Value, sizeof(l_ul_Value)) == ERROR_SUCCESS;
}

class LinkWithSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        m_x_Dir.Enter();
        ASSERT_TRUE(m_x_Sim.Connect()) << "TULVO_SIM_PORT must name the simulator's port";
        m_i_Com = tulvo_test::NextComNumber();
        m_x_Port = "COM" + std::to_string(m_i_Com);
        m_x_Sensor = "s" + std::to_string(m_i_Com);
        ASSERT_TRUE(m_x_Sim.Ok("add " + m_x_Sensor + " com" + std::to_string(m_i_Com) + " SN" +
                               std::to_string(m_i_Com) + "ABCDEFGHIJKLMNOPQRST 3"));
        m_px_Log.reset(new CTraceCapture);
    }
    void TearDown() override {
        if (HasFailure()) {
            printf("---- trace log\n%s", CTraceCapture::Text().c_str());
        }
        m_px_Link.reset();
        m_px_Log.reset();
        m_x_Sim.Command("remove " + m_x_Sensor);
        m_x_Dir.Leave();
    }
    void StartLink() { ASSERT_TRUE(Started(&m_x_Owner, &m_px_Link)); }
    // A link of this sensor for that owner, started and with its receive thread running.
    bool Started(CUsbSerialProtocoleOwner* i_px_Owner,
                 std::unique_ptr<CUsbSerialProtocole>* o_ppx_Link) {
        o_ppx_Link->reset(new CUsbSerialProtocole(i_px_Owner, m_x_Port.c_str()));
        CUsbSerialProtocole* l_px_Link = o_ppx_Link->get();
        return l_px_Link->Start() == TULVO_OK &&
               WaitFor([&] { return l_px_Link->GetReceiveThreadStarts() == 1; }, LONG_WAIT_MS) &&
               WaitLog("ThreadProcInternal Starting\n", 1);
    }
    // Sleeps the link and waits until its receive thread has ended.
    static bool Asleep(CUsbSerial& io_x_Link) {
        io_x_Link.RequestSleep();
        return WaitFor([&] { return !io_x_Link.IsReceiveThreadRunning(); }, LONG_WAIT_MS);
    }
    // Wakes the link and waits until its i_ul_Starts-th receive thread runs.
    static bool Awake(CUsbSerial& io_x_Link, uint32_t i_ul_Starts) {
        io_x_Link.RequestWakeUp();
        return WaitFor(
            [&] {
                return io_x_Link.GetReceiveThreadStarts() == i_ul_Starts &&
                       io_x_Link.IsReceiveThreadRunning();
            },
            LONG_WAIT_MS);
    }
    // Waits until the trace log holds the text at least that many times.
    static bool WaitLog(const std::string& i_x_Text, int i_i_Count) {
        return WaitFor([&] { return CTraceCapture::Count(i_x_Text) >= i_i_Count; }, LONG_WAIT_MS);
    }
    std::string Sim(const std::string& i_x_Verb, const std::string& i_x_Args = "") {
        return m_x_Sim.Command(i_x_Verb + " " + m_x_Sensor + (i_x_Args.empty() ? "" : " ") +
                               i_x_Args);
    }
    // Writes the data as one frame and expects the same data back as the next frame.
    void ExpectEcho(const std::vector<uint8_t>& i_x_Data,
                    CUsbSerialProtocole* i_px_Link = nullptr) {
        CUsbSerialProtocole& l_x_Link = i_px_Link != nullptr ? *i_px_Link : *m_px_Link;
        ASSERT_EQ(TULVO_OK, l_x_Link.WriteFrame(WRITE_TIMEOUT_MS, i_x_Data.data(),
                                                static_cast<uint32_t>(i_x_Data.size())));
        ASSERT_TRUE(m_x_Owner.WaitFrames(1, LONG_WAIT_MS)) << "no echo of " << i_x_Data.size();
        const auto l_x_Frames = m_x_Owner.TakeFrames();
        ASSERT_EQ(1u, l_x_Frames.size());
        EXPECT_TRUE(l_x_Frames[0] == i_x_Data) << "echo of " << i_x_Data.size() << " differs";
    }
    static std::vector<uint8_t> Record(uint16_t i_us_Id,
                                       const std::vector<uint8_t>& i_x_Value = {}) {
        return tulvo_test::IlvRecord(i_us_Id, i_x_Value);
    }
    std::vector<uint8_t> Ask(const std::vector<uint8_t>& i_x_Request) {
        EXPECT_EQ(TULVO_OK, m_px_Link->WriteFrame(WRITE_TIMEOUT_MS, i_x_Request.data(),
                                                  static_cast<uint32_t>(i_x_Request.size())));
        if (!m_x_Owner.WaitFrames(1, LONG_WAIT_MS)) {
            return {};
        }
        auto l_x_Frames = m_x_Owner.TakeFrames();
        return l_x_Frames.empty() ? std::vector<uint8_t>() : l_x_Frames[0];
    }
    bool WaitBytesIn(long long i_ll_Bytes) {
        return WaitFor([&] { return m_x_Sim.Stat(m_x_Sensor, "bytes_in") >= i_ll_Bytes; },
                       LONG_WAIT_MS);
    }

    tulvo_test::CTempDir m_x_Dir;
    CSimControl m_x_Sim;
    int m_i_Com = 0;
    std::string m_x_Port;
    std::string m_x_Sensor;
    std::unique_ptr<CTraceCapture> m_px_Log;
    CRecordingOwner m_x_Owner;
    std::unique_ptr<CUsbSerialProtocole> m_px_Link;
};

TEST_F(LinkWithSimulator, PortThatDoesNotExistReportsTheSystemCodeAndCreatesNothing) {
    CUsbSerialProtocole l_x_Link(&m_x_Owner, "COM239");
    EXPECT_EQ(TULVO_PORT_NOT_OPEN, l_x_Link.Start());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, l_x_Link.GetOpenError());
    EXPECT_EQ(1, m_x_Owner.ErrorNotices());
    EXPECT_FALSE(l_x_Link.IsPortOpen());
    EXPECT_EQ(0u, l_x_Link.GetReceiveThreadStarts());
    EXPECT_EQ(1, CTraceCapture::Count("CUsbSerial::Open: CreateFile"));
    EXPECT_EQ(0, CTraceCapture::Count("Recv Monitor"));
    // Requests and destruction of a link that never started touch nothing.
    EXPECT_EQ(TULVO_OK, l_x_Link.RequestSleep());
    EXPECT_EQ(TULVO_OK, l_x_Link.RequestWakeUp());
    const uint8_t l_uc_Byte = 0;
    EXPECT_EQ(TULVO_PORT_NOT_OPEN, l_x_Link.WriteFrame(100, &l_uc_Byte, 1));
}

TEST_F(LinkWithSimulator, SecondOpenOfAnOpenPortIsRefused) {
    StartLink();
    EXPECT_EQ(TULVO_PORT_ALREADY_OPEN, m_px_Link->Open(m_x_Port.c_str()));
    EXPECT_EQ(1, CTraceCapture::Count("CUsbSerial::Open - Port already opened\n"));
    EXPECT_EQ(1, CTraceCapture::Count("CUsbSerial::Open Port " + m_x_Port + " Created 0x"));
    EXPECT_EQ(RunsFrameCompleteReads() ? 1 : 0, CTraceCapture::Count(" FrameCompleteReads=1\n"));
    EXPECT_EQ(1, CTraceCapture::Count("Starting Recv Monitor for " + m_x_Port + " ...\n"));
    EXPECT_EQ(1, CTraceCapture::Count("ThreadProcInternal Starting\n"));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(10, 1)));
}

TEST_F(LinkWithSimulator, FramesOfEverySizeRoundTripThroughTheEcho) {
    ASSERT_EQ("ok", Sim("echo", "raw"));
    StartLink();
    long long l_ll_Sent = 0;
    for (size_t l_st_Size : {0, 1, 49, 50, 51, 1000, 32768, 100000}) {
        SCOPED_TRACE(l_st_Size);
        ExpectEcho(Pattern(l_st_Size, static_cast<uint32_t>(l_st_Size)));
        // A frame that ends on a 64-byte packet boundary is followed by one 0x00 byte.
        l_ll_Sent += static_cast<long long>(l_st_Size) + 14 + ((l_st_Size + 14) % 64 == 0);
        EXPECT_TRUE(WaitBytesIn(l_ll_Sent));
        EXPECT_EQ(l_ll_Sent, m_x_Sim.Stat(m_x_Sensor, "bytes_in"));
    }
    // Wine ends the seven other outstanding reads with a time-out after each chunk: those are
    // empty chunks, neither failures nor zero-byte deliveries.
    EXPECT_EQ(0, CTraceCapture::Count("SysErr"));
    EXPECT_EQ(0, CTraceCapture::Count("HandleReceiveBytes 0 data"));
}

TEST_F(LinkWithSimulator, FourMebibyteFrameRoundTrips) {
    ASSERT_EQ("ok", Sim("echo", "raw"));
    StartLink();
    ExpectEcho(Pattern(4u << 20, 4));
    ExpectEcho(Pattern(3, 5));
}

TEST_F(LinkWithSimulator, SplitNoisyAndPackedFramesAreDeliveredWhole) {
    StartLink();
    // Pieces of 7 bytes, 3 ms apart: the 5 ms quiet interval does not end every read, so
    // frames and headers straddle reads both ways.
    ASSERT_EQ("ok", Sim("split", "7 3"));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(300, 2)));
    ASSERT_EQ("ok", Sim("split", "1 0"));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(40, 3)));
    // Gaps longer than the quiet interval: every piece ends a read in the default mode too.
    ASSERT_EQ("ok", Sim("split", "6 20"));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(30, 15)));
    ASSERT_EQ("ok", Sim("split", "off"));
    ASSERT_EQ("ok", Sim("noise", "5000"));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(20, 4)));
    ASSERT_EQ("ok", Sim("prefix", "3"));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(21, 5)));
    ASSERT_EQ("ok", Sim("prefix", "0"));
    // Two frames in one write reach the link in one read: both are delivered, in order.
    ASSERT_EQ("ok", Sim("raw", "53594E4303000000FCFFFFFF0A0000454E"
                               "53594E4304000000FBFFFFFF0B010022454E"));
    ASSERT_TRUE(m_x_Owner.WaitFrames(2, LONG_WAIT_MS));
    const auto l_x_Frames = m_x_Owner.TakeFrames();
    ASSERT_EQ(2u, l_x_Frames.size());
    EXPECT_EQ((std::vector<uint8_t>{0x0A, 0x00, 0x00}), l_x_Frames[0]);
    EXPECT_EQ((std::vector<uint8_t>{0x0B, 0x01, 0x00, 0x22}), l_x_Frames[1]);
    EXPECT_EQ(0, CTraceCapture::Count("Error HandleReceiveBytes\n"));
}

TEST_F(LinkWithSimulator, CorruptedFramesAreDroppedAndTheNextOneArrives) {
    StartLink();
    ASSERT_EQ("ok", Sim("corrupt", "complement"));
    const auto l_x_Request = Record(SIM_ILV_ECHO, Pattern(30, 6));
    ASSERT_EQ(TULVO_OK, m_px_Link->WriteFrame(WRITE_TIMEOUT_MS, l_x_Request.data(),
                                              static_cast<uint32_t>(l_x_Request.size())));
    ASSERT_TRUE(WaitLog("Error HandleReceiveBytes\n", 1));
    EXPECT_EQ(1, CTraceCapture::Count("TULVO_HandleReceiveBytes Err Length"));
    ASSERT_EQ("ok", Sim("corrupt", "trailer"));
    ASSERT_EQ(TULVO_OK, m_px_Link->WriteFrame(WRITE_TIMEOUT_MS, l_x_Request.data(),
                                              static_cast<uint32_t>(l_x_Request.size())));
    ASSERT_TRUE(WaitLog("Error HandleReceiveBytes\n", 2));
    EXPECT_EQ(1, CTraceCapture::Count("TULVO_HandleReceiveBytes : CURRPUTED FRAME (ILV FE)  \n"));
    EXPECT_EQ(0u, m_x_Owner.FrameCount());
    ExpectEcho(l_x_Request);
}

TEST_F(LinkWithSimulator, SensorRequestsGetTheirReplies) {
    StartLink();
    auto l_x_Reply = Ask(Record(ILV_GET_SERIAL_NUMBER));
    ASSERT_EQ(3u + 25u, l_x_Reply.size());
    EXPECT_EQ(ILV_GET_SERIAL_NUMBER, ILV_GetIdentifier(l_x_Reply.data()));
    const uint8_t* l_puc_Value = ILV_GetValue(l_x_Reply.data());
    EXPECT_EQ(0, l_puc_Value[0]);
    EXPECT_EQ("SN" + std::to_string(m_i_Com) + "ABCDEFGHIJKLMNOPQ",
              std::string(reinterpret_cast<const char*>(l_puc_Value) + 4, 21));
    l_x_Reply = Ask(Record(ILV_GET_RUN_LEVEL));
    ASSERT_EQ(5u + 2u, l_x_Reply.size());
    EXPECT_EQ(ILV_GET_RUN_LEVEL, ILV_GetIdentifier(l_x_Reply.data()));
    EXPECT_EQ((std::vector<uint8_t>{0, 3}),
              std::vector<uint8_t>(l_x_Reply.begin() + 5, l_x_Reply.end()));
    ASSERT_EQ("ok", Sim("status", "7"));
    l_x_Reply = Ask(Record(ILV_GET_RUN_LEVEL));
    ASSERT_EQ(7u, l_x_Reply.size());
    EXPECT_EQ(7, l_x_Reply[5]);
    ASSERT_EQ("ok", Sim("invalid", "on"));
    l_x_Reply = Ask(Record(ILV_GET_SERIAL_NUMBER));
    EXPECT_EQ((std::vector<uint8_t>{ILV_INVALID, 0, 0}), l_x_Reply);
}

TEST_F(LinkWithSimulator, AsyncFramesArriveCompleteAndInOrder) {
    StartLink();
    const int l_i_Count = 3000;
    ASSERT_EQ("ok", Sim("async", "0x0135 0 200 " + std::to_string(l_i_Count)));
    ASSERT_TRUE(m_x_Owner.WaitFrames(l_i_Count, LONG_WAIT_MS));
    const auto l_x_Frames = m_x_Owner.TakeFrames();
    ASSERT_EQ(static_cast<size_t>(l_i_Count), l_x_Frames.size());
    for (int l_i_Seq = 0; l_i_Seq < l_i_Count; ++l_i_Seq) {
        const auto& l_x_Frame = l_x_Frames[static_cast<size_t>(l_i_Seq)];
        ASSERT_EQ(0, ILV_Check(l_x_Frame.data(), static_cast<uint32_t>(l_x_Frame.size())));
        ASSERT_EQ(ILV_VEK_ASYNC_REALTIMELOG, ILV_GetIdentifier(l_x_Frame.data()));
        ASSERT_EQ(200u, ILV_GetLength(l_x_Frame.data()));
        const uint8_t* l_puc_Value = ILV_GetValue(l_x_Frame.data());
        uint32_t l_ul_Seq = 0;
        memcpy(&l_ul_Seq, l_puc_Value, 4);
        ASSERT_EQ(static_cast<uint32_t>(l_i_Seq), l_ul_Seq);
        for (uint32_t l_ul_At = 8; l_ul_At < 200; ++l_ul_At) {
            ASSERT_EQ(static_cast<uint8_t>(l_ul_Seq + l_ul_At), l_puc_Value[l_ul_At]);
        }
    }
}

TEST_F(LinkWithSimulator, SleepThenWakeReopensThePortWithOneReceiveThread) {
    StartLink();
    ASSERT_TRUE(Asleep(*m_px_Link));
    EXPECT_FALSE(m_px_Link->IsPortOpen());
    EXPECT_EQ(1, CTraceCapture::Count("CUsbSerial::ThreadProc WaitForMultipleObjects: "
                                      "m_h_MonitorEventSleep\n"));
    ASSERT_TRUE(Awake(*m_px_Link, 2));
    EXPECT_TRUE(m_px_Link->IsPortOpen());
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(100, 7)));
    EXPECT_EQ(2, CTraceCapture::Count("ThreadProcInternal Starting\n"));
}

// The mode is read at every opening: a sleep and wake-up after the value changed reopens the port
// in the other mode, which carries frames as well; the value is put back for the next case.
TEST_F(LinkWithSimulator, TheReceiveModeIsReadAtEveryOpeningOfThePort) {
    const bool l_b_Mode = RunsFrameCompleteReads();
    StartLink();
    ASSERT_TRUE(SetFrameCompleteReads(!l_b_Mode));
    ASSERT_TRUE(Asleep(*m_px_Link));
    const bool l_b_Awake = Awake(*m_px_Link, 2);
    const bool l_b_Restored = SetFrameCompleteReads(l_b_Mode);
    ASSERT_TRUE(l_b_Awake && l_b_Restored);
    EXPECT_EQ(2, CTraceCapture::Count("CUsbSerial::Open Port " + m_x_Port + " Created 0x"));
    EXPECT_EQ(1, CTraceCapture::Count(" FrameCompleteReads=1\n"));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(300, 16)));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(45, 17)));
}

TEST_F(LinkWithSimulator, TwoSleepsAndOneWakeReopenOnce) {
    StartLink();
    ASSERT_TRUE(Asleep(*m_px_Link));
    m_px_Link->RequestSleep();
    ASSERT_TRUE(
        WaitLog("CUsbSerial::ThreadProc WaitForMultipleObjects: m_h_MonitorEventSleep\n", 2));
    ASSERT_TRUE(Awake(*m_px_Link, 2));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(10, 8)));
    EXPECT_EQ(2u, m_px_Link->GetReceiveThreadStarts());
    EXPECT_EQ(2, CTraceCapture::Count("CUsbSerial::Open Port " + m_x_Port + " Created 0x"));
    EXPECT_EQ(0, CTraceCapture::Count("CUsbSerial::Open - Port already opened\n"));
}

TEST_F(LinkWithSimulator, WakeAfterTheSensorLeftReportsTheOpenErrorAndALaterWakeRecovers) {
    StartLink();
    ASSERT_TRUE(Asleep(*m_px_Link));
    ASSERT_EQ("ok", Sim("unplug"));
    m_px_Link->RequestWakeUp();
    ASSERT_TRUE(WaitFor([&] { return m_x_Owner.ErrorNotices() == 1; }, LONG_WAIT_MS));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_px_Link->GetOpenError());
    EXPECT_FALSE(m_px_Link->IsPortOpen());
    EXPECT_EQ(1u, m_px_Link->GetReceiveThreadStarts());
    ASSERT_EQ("ok", Sim("plug"));
    m_px_Link->RequestSleep();
    ASSERT_TRUE(Awake(*m_px_Link, 2));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(33, 14)));
    EXPECT_EQ(1, m_x_Owner.ErrorNotices());
}

TEST_F(LinkWithSimulator, WakeWithoutSleepLeavesTheRunningLinkAlone) {
    StartLink();
    m_px_Link->RequestWakeUp();
    ASSERT_TRUE(WaitLog("CUsbSerial::Open - Port already opened\n", 1));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(64, 9)));
    EXPECT_EQ(1u, m_px_Link->GetReceiveThreadStarts());
    EXPECT_EQ(0, CTraceCapture::Count("ThreadProcInternal : Stopping read loop\n"));
    // The failed wake-up resets nothing while the receive thread runs.
    EXPECT_TRUE(m_px_Link->IsReceiveThreadRunning());
}

TEST_F(LinkWithSimulator, DestructionWhileAsleepEndsTheMonitor) {
    StartLink();
    ASSERT_TRUE(Asleep(*m_px_Link));
    m_px_Link.reset();
    EXPECT_EQ(1, CTraceCapture::Count("Stoping Recv Monitor for " + m_x_Port + "\n"));
    EXPECT_EQ(1, CTraceCapture::Count("ThreadProcInternal Starting\n"));
    EXPECT_EQ(0, CTraceCapture::Count("still running"));
}

TEST_F(LinkWithSimulator, DestructionWhileRunningStopsBothThreadsInOrder) {
    StartLink();
    m_px_Link.reset();
    const std::string l_x_Log = CTraceCapture::Text();
    const size_t l_st_Done = l_x_Log.find("ThreadProcInternal : Done\n");
    const size_t l_st_Monitor = l_x_Log.find("Stoping Recv Monitor for " + m_x_Port + "\n");
    ASSERT_NE(std::string::npos, l_st_Done);
    ASSERT_NE(std::string::npos, l_st_Monitor);
    EXPECT_LT(l_st_Done, l_st_Monitor);
}

TEST_F(LinkWithSimulator, UnplugDuringPendingWriteAndReadsEndsThemWithoutHang) {
    StartLink();
    ASSERT_EQ("ok", Sim("stall", "on"));
    const auto l_x_Big = Pattern(2u << 20, 10);
    std::atomic<int32_t> l_i_WriteStatus{1};
    std::thread l_x_Writer([&] {
        l_i_WriteStatus = m_px_Link->WriteFrame(WRITE_TIMEOUT_MS, l_x_Big.data(),
                                                static_cast<uint32_t>(l_x_Big.size()));
    });
    // Pending: the port took the write, and the stalled sensor holds bytes it has not read.
    EXPECT_TRUE(WaitFor(
        [&] {
            return m_px_Link->GetPendingWrites() == 1 && m_x_Sim.Stat(m_x_Sensor, "in_queued") > 0;
        },
        LONG_WAIT_MS));
    EXPECT_EQ("ok", Sim("unplug"));
    l_x_Writer.join();
    EXPECT_EQ(TULVO_DATA_TOO_LARGE, l_i_WriteStatus.load());
    EXPECT_EQ(1, CTraceCapture::Count("CUsbSerial::WriteBuffer: GetOverlappedResult"));
    EXPECT_EQ(0u, m_px_Link->GetPendingWrites());
    ASSERT_TRUE(WaitFor([&] { return !m_px_Link->IsReceiveThreadRunning(); }, LONG_WAIT_MS));
    m_px_Link.reset();
}

// Threads of this process that did not start in this program's code: wine runs a pending
// character-received wait on such a thread.
size_t ForeignThreadCount() {
    typedef LONG(WINAPI * PQueryThread)(HANDLE, int, PVOID, ULONG, PULONG);
    const int THREAD_START_ADDRESS = 9; // ThreadQuerySetWin32StartAddress
    const PQueryThread l_pf_Query = reinterpret_cast<PQueryThread>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    const uint8_t* l_puc_Image = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    const IMAGE_NT_HEADERS* l_px_Headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        l_puc_Image + reinterpret_cast<const IMAGE_DOS_HEADER*>(l_puc_Image)->e_lfanew);
    const uint8_t* l_puc_ImageEnd = l_puc_Image + l_px_Headers->OptionalHeader.SizeOfImage;
    HANDLE l_h_Snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 l_x_Entry;
    l_x_Entry.dwSize = sizeof(l_x_Entry);
    size_t l_st_Count = 0;
    for (BOOL l_b_More = Thread32First(l_h_Snapshot, &l_x_Entry); l_b_More;
         l_b_More = Thread32Next(l_h_Snapshot, &l_x_Entry)) {
        HANDLE l_h_Thread =
            l_x_Entry.th32OwnerProcessID == GetCurrentProcessId()
                ? OpenThread(THREAD_QUERY_INFORMATION, FALSE, l_x_Entry.th32ThreadID)
                : nullptr;
        if (l_h_Thread == nullptr) {
            continue;
        }
        const uint8_t* l_puc_Start = nullptr;
        l_pf_Query(l_h_Thread, THREAD_START_ADDRESS, &l_puc_Start, sizeof(l_puc_Start), nullptr);
        CloseHandle(l_h_Thread);
        l_st_Count += l_puc_Start < l_puc_Image || l_puc_Start >= l_puc_ImageEnd;
    }
    CloseHandle(l_h_Snapshot);
    return l_st_Count;
}

// A wake-up arms a character-received wait that is never collected. Wine runs it on a thread of
// its own, which polls the port's descriptor and goes on writing the wait's record after the
// handle is closed; Windows ends it in the driver. A sleep and destruction must end the wait
// first, whether or not the sensor is still there: the link's memory, here the test's own, must
// see no write once destruction has returned.
TEST_F(LinkWithSimulator, SleepAndDestructionEndTheWaitArmedByAWakeUp) {
    const size_t l_st_Before = ForeignThreadCount();
    alignas(CUsbSerialProtocole) uint8_t l_auc_Memory[sizeof(CUsbSerialProtocole)];
    std::unique_ptr<CUsbSerialProtocole, void (*)(CUsbSerialProtocole*)> l_px_Link(
        new (l_auc_Memory) CUsbSerialProtocole(&m_x_Owner, m_x_Port.c_str()),
        [](CUsbSerialProtocole* i_px_Link) { i_px_Link->~CUsbSerialProtocole(); });
    ASSERT_EQ(TULVO_OK, l_px_Link->Start());
    auto Cycle = [&](uint32_t i_ul_Starts) {
        l_px_Link->RequestSleep();
        ASSERT_TRUE(Awake(*l_px_Link, i_ul_Starts));
        ExpectEcho(Record(SIM_ILV_ECHO, Pattern(20, i_ul_Starts)), l_px_Link.get());
    };
    ASSERT_TRUE(WaitFor([&] { return l_px_Link->GetReceiveThreadStarts() == 1; }, LONG_WAIT_MS));
    for (uint32_t l_ul_Starts = 2; l_ul_Starts < 5 && !HasFailure(); ++l_ul_Starts) {
        Cycle(l_ul_Starts);
        if (l_ul_Starts == 4) {
            ASSERT_EQ("ok", Sim("unplug"));
        }
        l_px_Link->RequestSleep();
        ASSERT_TRUE(WaitFor([&] { return !l_px_Link->IsPortOpen(); }, LONG_WAIT_MS));
        EXPECT_TRUE(WaitFor([&] { return ForeignThreadCount() <= l_st_Before; }, LONG_WAIT_MS))
            << ForeignThreadCount() << " threads of wine's asleep, " << l_st_Before << " before";
    }
    ASSERT_EQ("ok", Sim("plug"));
    Cycle(5);
    l_px_Link.reset();
    memset(l_auc_Memory, 0x5A, sizeof(l_auc_Memory));
    // Wine's wait thread, if one were left, writes its last words before it ends.
    EXPECT_TRUE(WaitFor([&] { return ForeignThreadCount() <= l_st_Before; }, LONG_WAIT_MS))
        << ForeignThreadCount() << " threads of wine's after destruction, " << l_st_Before
        << " before";
    EXPECT_EQ(sizeof(l_auc_Memory),
              static_cast<size_t>(
                  std::count(l_auc_Memory, l_auc_Memory + sizeof(l_auc_Memory), uint8_t{0x5A})));
}

TEST_F(LinkWithSimulator, WriteTimeOutIsReportedAndTheNextWriteWorks) {
    StartLink();
    ASSERT_EQ("ok", Sim("stall", "on"));
    const auto l_x_Big = Pattern(1u << 20, 11);
    EXPECT_EQ(TULVO_TIMEOUT,
              m_px_Link->WriteBuffer(300, l_x_Big.data(), static_cast<uint32_t>(l_x_Big.size())));
    EXPECT_EQ(1,
              CTraceCapture::Count("CUsbSerial::WriteBuffer: WaitForSingleObject WAIT_TIMEOUT\n"));
    ASSERT_EQ("ok", Sim("stall", "off"));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(200, 12)));
}

TEST_F(LinkWithSimulator, RestartRequestUnplugsAndReplugsTheSensor) {
    StartLink();
    const uint8_t l_auc_Delay[4] = {200, 0, 0, 0};
    const auto l_x_Reply = Ask(Record(SIM_ILV_RESTART, {l_auc_Delay, l_auc_Delay + 4}));
    ASSERT_FALSE(l_x_Reply.empty());
    EXPECT_EQ(SIM_ILV_RESTART, ILV_GetIdentifier(l_x_Reply.data()));
    // The sensor leaves: the receive thread ends as it does when a device is pulled out.
    ASSERT_TRUE(WaitFor([&] { return !m_px_Link->IsReceiveThreadRunning(); }, LONG_WAIT_MS));
    ASSERT_TRUE(WaitFor([&] { return m_x_Sim.Stat(m_x_Sensor, "plugs") == 2; }, LONG_WAIT_MS));
    // Back on the bus: a sleep and wake-up (what the device list does) reaches it again.
    m_px_Link->RequestSleep();
    ASSERT_TRUE(Awake(*m_px_Link, 2));
    ExpectEcho(Record(SIM_ILV_ECHO, Pattern(5, 13)));
}

// An owner that holds the receive thread inside HandleReceiveFrame until the test opens its
// gate, for as long as the test needs to see the link give up waiting for that thread.
class CGatedOwner : public CUsbSerialProtocoleOwner {
public:
    CGatedOwner()
        : m_h_Entered(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_h_Gate(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~CGatedOwner() {
        CloseHandle(m_h_Entered);
        CloseHandle(m_h_Gate);
    }
    int32_t HandleReceiveFrame(uint8_t* i_puc_Frame, uint32_t) override {
        SetEvent(m_h_Entered);
        WaitForSingleObject(m_h_Gate, INFINITE);
        free(i_puc_Frame);
        ++m_i_Frames;
        return 0;
    }
    void HandleSendBackError() override {}
    HANDLE m_h_Entered;
    HANDLE m_h_Gate;
    std::atomic<int> m_i_Frames{0};
};

TEST_F(LinkWithSimulator, DestructionWaitsForAReceiveThreadHeldByItsOwner) {
    CGatedOwner l_x_Owner;
    std::unique_ptr<CUsbSerialProtocole> l_px_Link;
    ASSERT_TRUE(Started(&l_x_Owner, &l_px_Link));
    // Two frames in one read: the receive thread still has the second one to parse, in this
    // object's receiver, when the owner lets go of the first.
    ASSERT_EQ("ok", Sim("raw", "53594E4303000000FCFFFFFF0A0000454E"
                               "53594E4303000000FCFFFFFF0B0000454E"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(l_x_Owner.m_h_Entered, LONG_WAIT_MS));
    std::thread l_x_Destroyer([&] { l_px_Link.reset(); });
    const bool l_b_GaveUp = WaitFor(
        [&] {
            return CTraceCapture::Count("ThreadProcInternal of " + m_x_Port +
                                        " still running after 1000 ms\n") == 1;
        },
        LONG_WAIT_MS);
    SetEvent(l_x_Owner.m_h_Gate);
    l_x_Destroyer.join();
    EXPECT_TRUE(l_b_GaveUp);
    EXPECT_EQ(2, l_x_Owner.m_i_Frames.load());
    EXPECT_EQ(1, CTraceCapture::Count("ThreadProcInternal : Done\n"));
}

TEST_F(LinkWithSimulator, WakeAfterASleepThatOutwaitedTheOwnerRunsOneNewReceiveThread) {
    CGatedOwner l_x_Owner;
    std::unique_ptr<CUsbSerialProtocole> l_px_Link;
    ASSERT_TRUE(Started(&l_x_Owner, &l_px_Link));
    ASSERT_EQ("ok", Sim("raw", "53594E4303000000FCFFFFFF0A0000454E"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(l_x_Owner.m_h_Entered, LONG_WAIT_MS));
    l_px_Link->RequestSleep();
    l_px_Link->RequestWakeUp();
    // The monitor reaches the wake-up only once the sleep has given up on the held thread.
    const bool l_b_SleepEnded = WaitFor(
        [] {
            return CTraceCapture::Count(
                       "CUsbSerial::ThreadProc WaitForMultipleObjects: m_h_MonitorEventWakeUp\n") ==
                   1;
        },
        LONG_WAIT_MS);
    EXPECT_EQ(1u, l_px_Link->GetReceiveThreadStarts());
    SetEvent(l_x_Owner.m_h_Gate);
    ASSERT_TRUE(l_b_SleepEnded);
    ASSERT_TRUE(WaitFor([&] { return l_px_Link->GetReceiveThreadStarts() == 2; }, LONG_WAIT_MS));
    ASSERT_TRUE(WaitLog("ThreadProcInternal Starting\n", 2));
    EXPECT_EQ(1, CTraceCapture::Count("ThreadProcInternal : Done\n"));
    EXPECT_TRUE(l_px_Link->IsPortOpen());
    ASSERT_EQ("ok", Sim("raw", "53594E4303000000FCFFFFFF0B0000454E"));
    EXPECT_TRUE(WaitFor([&] { return l_x_Owner.m_i_Frames.load() == 2; }, LONG_WAIT_MS));
    l_px_Link.reset();
    EXPECT_EQ(2, CTraceCapture::Count("ThreadProcInternal : Done\n"));
}

TEST_F(LinkWithSimulator, ReadBufferOutsideTheReceiveThreadTakesWhatIsThere) {
    StartLink();
    uint8_t l_auc_Buffer[64];
    uint32_t l_ul_Count = 0;
    // The receive thread has every byte; the driver holds none for anyone else.
    EXPECT_EQ(TULVO_OK, m_px_Link->ReadBuffer(l_auc_Buffer, &l_ul_Count));
    EXPECT_EQ(0u, l_ul_Count);
    EXPECT_EQ(1, CTraceCapture::Count("CUsbSerial::ReadBuffer: Nothing to read\n"));
    EXPECT_EQ(TULVO_NULL_BUFFER, m_px_Link->WriteBuffer(100, nullptr, 1));
    EXPECT_EQ(TULVO_OK, m_px_Link->CancelIo());
}

// Links destroyed with sleep and wake-up requests still in flight, at every point of the
// monitor's work (reopening, starting a receive thread, joining one); every fourth link goes
// through a whole sleep and wake-up first and must still carry a frame. A lost thread handle,
// a port closed twice or a thread left running on a freed object shows as a hang or a crash.
TEST_F(LinkWithSimulator, DestructionWithSleepAndWakeUpRequestsInFlight) {
    for (int l_i_Round = 0; l_i_Round < 40; ++l_i_Round) {
        SCOPED_TRACE(l_i_Round);
        std::unique_ptr<CUsbSerialProtocole> l_px_Link(
            new CUsbSerialProtocole(&m_x_Owner, m_x_Port.c_str()));
        ASSERT_EQ(TULVO_OK, l_px_Link->Start());
        if (l_i_Round % 4 == 0) {
            ASSERT_TRUE(
                WaitFor([&] { return l_px_Link->GetReceiveThreadStarts() == 1; }, LONG_WAIT_MS));
            ASSERT_TRUE(Asleep(*l_px_Link));
            EXPECT_FALSE(l_px_Link->IsPortOpen());
            ASSERT_TRUE(Awake(*l_px_Link, 2));
            EXPECT_TRUE(l_px_Link->IsPortOpen());
            ExpectEcho(Record(SIM_ILV_ECHO, Pattern(40, static_cast<uint32_t>(l_i_Round))),
                       l_px_Link.get());
        } else {
            for (int l_i_Step = 0; l_i_Step < l_i_Round % 5; ++l_i_Step) {
                if ((l_i_Round + l_i_Step) % 2 == 0) {
                    l_px_Link->RequestSleep();
                } else {
                    l_px_Link->RequestWakeUp();
                }
                if (l_i_Round % 3 == 0) {
                    Sleep(static_cast<DWORD>(l_i_Step));
                }
            }
        }
        l_px_Link.reset();
    }
}

// Two sensors, each with its own link, both carrying traffic while link A goes through sleeps,
// wake-ups and destruction and link B through sleeps and wake-ups. Every frame a test thread
// writes starts with its sensor's tag, and every sensor counts the frames that do not: a write
// or read started on a handle value that was closed and given to the other port meanwhile shows
// up there, or at the other link's owner.
TEST_F(LinkWithSimulator, SleepWakeAndDestructionUnderTrafficNeverReachTheOtherSensor) {
    const std::vector<uint8_t> l_x_TagA = {0xA1, 0xA1, 0xA1, 0xA1};
    const std::vector<uint8_t> l_x_TagB = {0xB2, 0xB2, 0xB2, 0xB2};
    const int l_i_ComB = tulvo_test::NextComNumber();
    const std::string l_x_SensorB = "s" + std::to_string(l_i_ComB);
    ASSERT_TRUE(m_x_Sim.Ok("add " + l_x_SensorB + " com" + std::to_string(l_i_ComB) + " SNB"));
    for (const std::string& l_x_Sensor : {m_x_Sensor, l_x_SensorB}) {
        ASSERT_TRUE(m_x_Sim.Ok("echo " + l_x_Sensor + " raw"));
    }
    ASSERT_TRUE(m_x_Sim.Ok("expect " + m_x_Sensor + " A1A1A1A1"));
    ASSERT_TRUE(m_x_Sim.Ok("expect " + l_x_SensorB + " B2B2B2B2"));
    // Sensor A keeps sending, so that reads complete on A all the time.
    ASSERT_TRUE(m_x_Sim.Ok("async " + m_x_Sensor + " 0x0071 2000 64 0"));

    auto Tagged = [](const std::vector<uint8_t>& i_x_Tag, uint32_t i_ul_Seq) {
        std::vector<uint8_t> l_x_Frame = i_x_Tag;
        const auto l_x_Body = Pattern(40 + i_ul_Seq % 200, i_ul_Seq);
        l_x_Frame.insert(l_x_Frame.end(), l_x_Body.begin(), l_x_Body.end());
        return l_x_Frame;
    };
    // Writes tagged frames, as fast as the link takes them, until told to stop.
    auto Writer = [&](CUsbSerialProtocole* i_px_Link, const std::vector<uint8_t>& i_x_Tag,
                      std::atomic<bool>* i_pb_Stop, std::atomic<int>* o_pi_Written) {
        for (uint32_t l_ul_Seq = 0; !*i_pb_Stop; ++l_ul_Seq) {
            const auto l_x_Frame = Tagged(i_x_Tag, l_ul_Seq);
            if (i_px_Link->WriteFrame(200, l_x_Frame.data(),
                                      static_cast<uint32_t>(l_x_Frame.size())) == TULVO_OK) {
                ++*o_pi_Written;
            } else {
                Sleep(1);
            }
        }
    };

    CRecordingOwner l_x_OwnerB;
    CUsbSerialProtocole l_x_LinkB(&l_x_OwnerB, ("COM" + std::to_string(l_i_ComB)).c_str());
    ASSERT_EQ(TULVO_OK, l_x_LinkB.Start());
    ASSERT_TRUE(WaitFor([&] { return l_x_LinkB.GetReceiveThreadStarts() == 1; }, LONG_WAIT_MS));
    std::atomic<bool> l_b_StopB{false};
    std::atomic<int> l_i_WrittenB{0};
    std::thread l_x_WriterB(Writer, &l_x_LinkB, l_x_TagB, &l_b_StopB, &l_i_WrittenB);

    int l_i_WrittenA = 0;
    for (int l_i_Round = 0; l_i_Round < 12; ++l_i_Round) {
        SCOPED_TRACE(l_i_Round);
        std::unique_ptr<CUsbSerialProtocole> l_px_LinkA(
            new CUsbSerialProtocole(&m_x_Owner, m_x_Port.c_str()));
        if (l_px_LinkA->Start() != TULVO_OK ||
            !WaitFor([&] { return l_px_LinkA->GetReceiveThreadStarts() == 1; }, LONG_WAIT_MS)) {
            ADD_FAILURE() << "link A did not start";
            break;
        }
        std::atomic<bool> l_b_StopA{false};
        std::atomic<int> l_i_RoundA{0};
        std::thread l_x_WriterA(Writer, l_px_LinkA.get(), l_x_TagA, &l_b_StopA, &l_i_RoundA);
        for (int l_i_Cycle = 0; l_i_Cycle < 3; ++l_i_Cycle) {
            CUsbSerialProtocole& l_x_Cycled = (l_i_Round + l_i_Cycle) % 2 ? *l_px_LinkA : l_x_LinkB;
            const uint32_t l_ul_Starts = l_x_Cycled.GetReceiveThreadStarts();
            l_x_Cycled.RequestSleep();
            EXPECT_TRUE(Awake(l_x_Cycled, l_ul_Starts + 1))
                << (&l_x_Cycled == &l_x_LinkB ? "B" : "A") << ": " << l_ul_Starts
                << " starts before, " << l_x_Cycled.GetReceiveThreadStarts() << " now, running "
                << l_x_Cycled.IsReceiveThreadRunning() << ", port open " << l_x_Cycled.IsPortOpen();
        }
        l_b_StopA = true;
        l_x_WriterA.join();
        l_i_WrittenA += l_i_RoundA;
        // Destroyed with its reads in flight, while B goes on writing and reading.
        l_px_LinkA.reset();
    }
    l_b_StopB = true;
    l_x_WriterB.join();

    EXPECT_GT(l_i_WrittenA, 0);
    EXPECT_GT(l_i_WrittenB.load(), 0);
    EXPECT_GT(m_x_Sim.Stat(m_x_Sensor, "frames_in"), 0);
    EXPECT_GT(m_x_Sim.Stat(l_x_SensorB, "frames_in"), 0);
    EXPECT_EQ(0, m_x_Sim.Stat(m_x_Sensor, "unexpected"));
    EXPECT_EQ(0, m_x_Sim.Stat(l_x_SensorB, "unexpected"));
    auto StartsWithB = [&](const std::vector<uint8_t>& i_x_Frame) {
        return i_x_Frame.size() >= l_x_TagB.size() &&
               std::equal(l_x_TagB.begin(), l_x_TagB.end(), i_x_Frame.begin());
    };
    const auto l_ax_FramesB = l_x_OwnerB.TakeFrames();
    EXPECT_FALSE(l_ax_FramesB.empty());
    EXPECT_TRUE(std::all_of(l_ax_FramesB.begin(), l_ax_FramesB.end(), StartsWithB));
    const auto l_ax_FramesA = m_x_Owner.TakeFrames();
    EXPECT_FALSE(l_ax_FramesA.empty());
    EXPECT_TRUE(std::none_of(l_ax_FramesA.begin(), l_ax_FramesA.end(), StartsWithB));
    m_x_Sim.Command("remove " + l_x_SensorB);
}

} // namespace
