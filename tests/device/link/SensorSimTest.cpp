// The sensor simulator on its own, in the host tree: the test plays the program under wine by
// opening the pty through the dosdevices link, and drives every command of the control
// language.
#include "tests/device/link/FrameRecorder.h"
#include "tests/device/link/IlvRecord.h"
#include "device/link/FrameCodec.h"
#include "device/link/Ilv.h"
#include "ipc/protocol/TulvoStatus.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const int WAIT_MS = 20000;

int64_t NowMs() {
    struct timespec l_x_Now;
    clock_gettime(CLOCK_MONOTONIC, &l_x_Now);
    return static_cast<int64_t>(l_x_Now.tv_sec) * 1000 + l_x_Now.tv_nsec / 1000000;
}

static std::vector<uint8_t> Record(uint16_t i_us_Id, const std::vector<uint8_t>& i_x_Value = {}) {
    return tulvo_test::IlvRecord(i_us_Id, i_x_Value);
}

class SensorSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        char l_ac_Dir[] = "/tmp/tulvo-simtest-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(l_ac_Dir));
        m_x_Prefix = l_ac_Dir;
        const std::string l_x_PortFile = m_x_Prefix + "/port";
        m_i_Pid = fork();
        if (m_i_Pid == 0) {
            execl(TULVO_SENSORSIM_PATH, TULVO_SENSORSIM_PATH, "--wineprefix", m_x_Prefix.c_str(),
                  "--port-file", l_x_PortFile.c_str(), "--log", (m_x_Prefix + "/log").c_str(),
                  "--sensor", "s1:com7:SN0007:2", static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(m_i_Pid, 0);
        const int64_t l_ll_End = NowMs() + WAIT_MS;
        FILE* l_px_File = nullptr;
        while ((l_px_File = fopen(l_x_PortFile.c_str(), "r")) == nullptr && NowMs() < l_ll_End) {
            usleep(10000);
        }
        ASSERT_NE(nullptr, l_px_File);
        int l_i_Port = 0;
        ASSERT_EQ(1, fscanf(l_px_File, "%d", &l_i_Port));
        fclose(l_px_File);
        m_i_Control = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in l_x_Addr;
        memset(&l_x_Addr, 0, sizeof(l_x_Addr));
        l_x_Addr.sin_family = AF_INET;
        l_x_Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        l_x_Addr.sin_port = htons(static_cast<uint16_t>(l_i_Port));
        ASSERT_EQ(0, connect(m_i_Control, reinterpret_cast<struct sockaddr*>(&l_x_Addr),
                             sizeof(l_x_Addr)));
        OpenPort(7);
    }
    void TearDown() override {
        if (m_i_Port >= 0) {
            close(m_i_Port);
        }
        if (m_i_Control >= 0) {
            close(m_i_Control);
        }
        if (m_i_Pid > 0) {
            kill(m_i_Pid, SIGTERM);
            int l_i_Status = 0;
            waitpid(m_i_Pid, &l_i_Status, 0);
            EXPECT_TRUE(WIFEXITED(l_i_Status) && WEXITSTATUS(l_i_Status) == 0);
        }
        if (HasFailure()) {
            printf("---- simulator log\n%s", Slurp(m_x_Prefix + "/log").c_str());
        }
        ASSERT_EQ(0, system(("rm -rf '" + m_x_Prefix + "'").c_str()));
    }
    static std::string Slurp(const std::string& i_x_Path) {
        std::string l_x_Text;
        FILE* l_px_File = fopen(i_x_Path.c_str(), "r");
        if (l_px_File != nullptr) {
            char l_ac_Buffer[4096];
            size_t l_st_Got;
            while ((l_st_Got = fread(l_ac_Buffer, 1, sizeof(l_ac_Buffer), l_px_File)) > 0) {
                l_x_Text.append(l_ac_Buffer, l_st_Got);
            }
            fclose(l_px_File);
        }
        return l_x_Text;
    }
    std::string Link(int i_i_Com) {
        return m_x_Prefix + "/dosdevices/com" + std::to_string(i_i_Com);
    }
    void OpenPort(int i_i_Com) {
        if (m_i_Port >= 0) {
            close(m_i_Port);
        }
        m_i_Port = open(Link(i_i_Com).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(m_i_Port, 0) << Link(i_i_Com) << ": " << strerror(errno);
        m_x_Receiver.ResetReceive();
        m_x_Frames.TakeFrames();
    }
    std::string Command(const std::string& i_x_Line) {
        const std::string l_x_Out = i_x_Line + "\n";
        if (write(m_i_Control, l_x_Out.data(), l_x_Out.size()) !=
            static_cast<ssize_t>(l_x_Out.size())) {
            return "err write";
        }
        std::string l_x_Answer;
        char l_c_Char = 0;
        while (read(m_i_Control, &l_c_Char, 1) == 1 && l_c_Char != '\n') {
            l_x_Answer += l_c_Char;
        }
        return l_x_Answer;
    }
    long long Stat(const std::string& i_x_Field) {
        const std::string l_x_Stats = Command("stats s1");
        const size_t l_st_At = l_x_Stats.find(" " + i_x_Field + "=");
        return l_st_At == std::string::npos
                   ? -1
                   : atoll(l_x_Stats.c_str() + l_st_At + i_x_Field.size() + 2);
    }
    void Send(const std::vector<uint8_t>& i_x_Data) {
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Size = 0;
        ASSERT_EQ(TULVO_OK,
                  Frame_AllocEncoded(i_x_Data.data(), static_cast<uint32_t>(i_x_Data.size()),
                                     &l_puc_Frame, &l_ul_Size));
        ASSERT_EQ(static_cast<ssize_t>(l_ul_Size), write(m_i_Port, l_puc_Frame, l_ul_Size));
        free(l_puc_Frame);
    }
    // Reads until a frame arrives, a receive error, or the limit; raw bytes seen go to m_x_Raw.
    int32_t Receive(std::vector<uint8_t>* o_px_Frame, int i_i_LimitMs = WAIT_MS) {
        const int64_t l_ll_End = NowMs() + i_i_LimitMs;
        while (!m_x_Frames.TakeFirst(o_px_Frame)) {
            const int64_t l_ll_Left = l_ll_End - NowMs();
            if (l_ll_Left <= 0) {
                return TULVO_TIMEOUT;
            }
            struct pollfd l_x_Poll = {m_i_Port, POLLIN, 0};
            if (poll(&l_x_Poll, 1, static_cast<int>(l_ll_Left)) <= 0) {
                continue;
            }
            uint8_t l_auc_Buffer[65536];
            const ssize_t l_ss_Got = read(m_i_Port, l_auc_Buffer, sizeof(l_auc_Buffer));
            if (l_ss_Got <= 0) {
                return TULVO_PORT_ERROR;
            }
            m_x_Raw.insert(m_x_Raw.end(), l_auc_Buffer, l_auc_Buffer + l_ss_Got);
            const int32_t l_i_Status =
                m_x_Receiver.HandleReceiveBytes(l_auc_Buffer, static_cast<uint32_t>(l_ss_Got));
            if (l_i_Status != TULVO_OK) {
                m_x_Receiver.ResetReceive();
                return l_i_Status;
            }
        }
        return TULVO_OK;
    }
    std::vector<uint8_t> Ask(const std::vector<uint8_t>& i_x_Request) {
        Send(i_x_Request);
        std::vector<uint8_t> l_x_Reply;
        EXPECT_EQ(TULVO_OK, Receive(&l_x_Reply));
        return l_x_Reply;
    }

    std::string m_x_Prefix;
    pid_t m_i_Pid = -1;
    int m_i_Control = -1;
    int m_i_Port = -1;
    tulvo_test::CFrameRecorder<> m_x_Frames;
    CFrameReceiver m_x_Receiver{&m_x_Frames};
    std::vector<uint8_t> m_x_Raw;
};

TEST_F(SensorSimulator, AnswersSerialNumberRunLevelEchoAndUnknownRequests) {
    auto l_x_Reply = Ask(Record(ILV_GET_SERIAL_NUMBER));
    std::vector<uint8_t> l_x_Expected = {0x80, 25, 0, 0, 0, 0, 0};
    l_x_Expected.insert(l_x_Expected.end(), {'S', 'N', '0', '0', '0', '7'});
    l_x_Expected.resize(3 + 25, 0);
    EXPECT_EQ(l_x_Expected, l_x_Reply);
    EXPECT_EQ((std::vector<uint8_t>{0xFE, 4, 0, 0x32, 0x01, 0, 2}), Ask(Record(ILV_GET_RUN_LEVEL)));
    ASSERT_EQ("ok", Command("level s1 1"));
    ASSERT_EQ("ok", Command("status s1 9"));
    EXPECT_EQ((std::vector<uint8_t>{0xFE, 4, 0, 0x32, 0x01, 9, 1}), Ask(Record(ILV_GET_RUN_LEVEL)));
    EXPECT_EQ(9, Ask(Record(ILV_GET_SERIAL_NUMBER))[3]);
    const auto l_x_Echo = Record(0x0F00, {1, 2, 3, 0x53});
    EXPECT_EQ(l_x_Echo, Ask(l_x_Echo));
    EXPECT_EQ((std::vector<uint8_t>{ILV_INVALID, 0, 0}), Ask(Record(0x0042)));
    // Not one ILV record at all.
    EXPECT_EQ((std::vector<uint8_t>{ILV_INVALID, 0, 0}), Ask({0x01, 0x05}));
    ASSERT_EQ("ok", Command("invalid s1 on"));
    EXPECT_EQ((std::vector<uint8_t>{ILV_INVALID, 0, 0}), Ask(Record(ILV_GET_RUN_LEVEL)));
    ASSERT_EQ("ok", Command("echo s1 raw"));
    EXPECT_EQ((std::vector<uint8_t>{}), Ask({}));
    EXPECT_EQ(9, Stat("frames_in"));
}

TEST_F(SensorSimulator, DelaysAndSilence) {
    ASSERT_EQ("ok", Command("delay s1 300"));
    const int64_t l_ll_Start = NowMs();
    Ask(Record(ILV_GET_RUN_LEVEL));
    EXPECT_GE(NowMs() - l_ll_Start, 290);
    ASSERT_EQ("ok", Command("delay s1 0"));
    ASSERT_EQ("ok", Command("silent s1 on"));
    Send(Record(ILV_GET_RUN_LEVEL));
    std::vector<uint8_t> l_x_Reply;
    EXPECT_EQ(TULVO_TIMEOUT, Receive(&l_x_Reply, 300));
    // Only the delayed reply came.
    EXPECT_EQ(7u + 14u, m_x_Raw.size());
    ASSERT_EQ("ok", Command("silent s1 off"));
    EXPECT_EQ(7u, Ask(Record(ILV_GET_RUN_LEVEL)).size());
}

TEST_F(SensorSimulator, CorruptsSplitsAndAddsNoise) {
    const auto l_x_Echo = Record(0x0F00, {7, 7, 7});
    ASSERT_EQ("ok", Command("corrupt s1 complement"));
    Send(l_x_Echo);
    std::vector<uint8_t> l_x_Reply;
    EXPECT_EQ(TULVO_BAD_FRAME_LENGTH, Receive(&l_x_Reply));
    ASSERT_EQ("ok", Command("corrupt s1 trailer 2"));
    Send(l_x_Echo);
    EXPECT_EQ(TULVO_CORRUPTED_FRAME, Receive(&l_x_Reply));
    Send(l_x_Echo);
    EXPECT_EQ(TULVO_CORRUPTED_FRAME, Receive(&l_x_Reply));
    EXPECT_EQ(l_x_Echo, Ask(l_x_Echo));

    m_x_Raw.clear();
    ASSERT_EQ("ok", Command("noise s1 1000"));
    ASSERT_EQ("ok", Command("frame s1 0A0000"));
    ASSERT_EQ(TULVO_OK, Receive(&l_x_Reply));
    EXPECT_EQ((std::vector<uint8_t>{0x0A, 0, 0}), l_x_Reply);
    ASSERT_EQ(1000u + 17u, m_x_Raw.size());
    for (size_t l_st_At = 0; l_st_At < 1000; ++l_st_At) {
        ASSERT_NE('S', m_x_Raw[l_st_At]);
    }

    m_x_Raw.clear();
    ASSERT_EQ("ok", Command("noise s1 0"));
    ASSERT_EQ("ok", Command("prefix s1 4"));
    ASSERT_EQ("ok", Command("split s1 3 20"));
    const int64_t l_ll_Start = NowMs();
    EXPECT_EQ(l_x_Echo, Ask(l_x_Echo));
    // 4 noise bytes, then 22 frame bytes in 8 pieces 20 ms apart.
    EXPECT_EQ(4u + 22u, m_x_Raw.size());
    EXPECT_GE(NowMs() - l_ll_Start, 7 * 20 - 10);
    ASSERT_EQ("ok", Command("split s1 off"));
    ASSERT_EQ("ok", Command("raw s1 53 59 4E 43 00000000 FFFFFFFF 454E"));
    ASSERT_EQ(TULVO_OK, Receive(&l_x_Reply));
    EXPECT_TRUE(l_x_Reply.empty());
}

TEST_F(SensorSimulator, AsyncFramesCountedAndInOrder) {
    ASSERT_EQ("ok", Command("async s1 0x0071 2000 12 50"));
    for (uint32_t l_ul_Seq = 0; l_ul_Seq < 50; ++l_ul_Seq) {
        std::vector<uint8_t> l_x_Frame;
        ASSERT_EQ(TULVO_OK, Receive(&l_x_Frame));
        ASSERT_EQ(3u + 12u, l_x_Frame.size());
        EXPECT_EQ(ILV_ASYNC_MESSAGE, ILV_GetIdentifier(l_x_Frame.data()));
        uint32_t l_ul_Got = 0;
        memcpy(&l_ul_Got, ILV_GetValue(l_x_Frame.data()), 4);
        EXPECT_EQ(l_ul_Seq, l_ul_Got);
    }
    std::vector<uint8_t> l_x_Frame;
    EXPECT_EQ(TULVO_TIMEOUT, Receive(&l_x_Frame, 200));
    EXPECT_EQ(50, Stat("async_sent"));
    EXPECT_EQ(0, Stat("async_on"));
    ASSERT_EQ("ok", Command("async s1 0x0135 0 8"));
    ASSERT_EQ(TULVO_OK, Receive(&l_x_Frame));
    ASSERT_EQ("ok", Command("async s1 off"));
}

TEST_F(SensorSimulator, StallHoldsWhatIsWrittenAndExpectCountsOtherFrames) {
    ASSERT_EQ("ok", Command("stall s1 on"));
    Send({1, 2, 3});
    const int64_t l_ll_End = NowMs() + WAIT_MS;
    while (Stat("in_queued") != 3 + 14 && NowMs() < l_ll_End) {
        usleep(5000);
    }
    EXPECT_EQ(3 + 14, Stat("in_queued"));
    EXPECT_EQ(0, Stat("frames_in"));
    ASSERT_EQ("ok", Command("stall s1 off"));
    EXPECT_EQ(0, Stat("in_queued"));

    ASSERT_EQ("ok", Command("echo s1 raw"));
    ASSERT_EQ("ok", Command("expect s1 A1B2"));
    EXPECT_EQ((std::vector<uint8_t>{0xA1, 0xB2, 9}), Ask({0xA1, 0xB2, 9}));
    EXPECT_EQ(0, Stat("unexpected"));
    Ask({0xA1, 0xB3, 9});
    Ask({0xA1});
    EXPECT_EQ(2, Stat("unexpected"));
    ASSERT_EQ("ok", Command("expect s1 off"));
    Ask({0x00});
    EXPECT_EQ(2, Stat("unexpected"));
    EXPECT_EQ("err usage: expect NAME HEX|off", Command("expect s1 A"));
}

TEST_F(SensorSimulator, UnplugPlugElsewhereAndRestart) {
    struct stat l_x_Stat;
    ASSERT_EQ("ok", Command("unplug s1"));
    EXPECT_NE(0, lstat(Link(7).c_str(), &l_x_Stat));
    std::vector<uint8_t> l_x_Frame;
    // The line is gone: the reader sees the hang-up.
    EXPECT_EQ(TULVO_PORT_ERROR, Receive(&l_x_Frame));
    ASSERT_EQ("ok", Command("plug s1 com9"));
    EXPECT_EQ(0, lstat(Link(9).c_str(), &l_x_Stat));
    EXPECT_EQ("err already plugged", Command("plug s1"));
    OpenPort(9);
    EXPECT_EQ(7u, Ask(Record(ILV_GET_RUN_LEVEL)).size());

    ASSERT_EQ("ok", Command("restart s1 300"));
    EXPECT_NE(0, lstat(Link(9).c_str(), &l_x_Stat));
    const int64_t l_ll_End = NowMs() + WAIT_MS;
    while (Stat("plugs") != 3 && NowMs() < l_ll_End) {
        usleep(10000);
    }
    ASSERT_EQ(3, Stat("plugs"));
    OpenPort(9);
    // A restart the program asks for in a frame: the reply first, then the line goes away.
    const uint8_t l_auc_Delay[4] = {100, 0, 0, 0};
    const auto l_x_Reply = Ask(Record(0x0F01, {l_auc_Delay, l_auc_Delay + 4}));
    EXPECT_EQ((std::vector<uint8_t>{0xFE, 3, 0, 0x01, 0x0F, 0}), l_x_Reply);
    while (Stat("plugs") != 4 && NowMs() < l_ll_End + WAIT_MS) {
        usleep(10000);
    }
    ASSERT_EQ(4, Stat("plugs"));
    EXPECT_EQ("ok name=s1 com=9 plugged=1", Command("stats s1").substr(0, 26));
}

TEST_F(SensorSimulator, ControlLanguageRefusesWhatItCannotDo) {
    EXPECT_EQ("err no sensor s2", Command("delay s2 10"));
    EXPECT_EQ("err sensor exists", Command("add s1 com8"));
    EXPECT_EQ("err usage: add NAME comN [SERIAL [LEVEL]]", Command("add s3 lpt1"));
    EXPECT_EQ("err", Command("silent s1 maybe").substr(0, 3));
    EXPECT_EQ("err", Command("async s1 0x0135").substr(0, 3));
    EXPECT_EQ("err", Command("async s1 0x0135 10 4").substr(0, 3));
    EXPECT_EQ("err bad hex", Command("raw s1 5"));
    EXPECT_EQ("err", Command("fly s1").substr(0, 3));
    EXPECT_EQ("ok", Command("add s2 com8 SN8"));
    EXPECT_EQ("ok s1=com7 s2=com8", Command("list"));
    EXPECT_EQ("ok", Command("remove s2"));
    EXPECT_EQ("ok", Command("quit"));
    int l_i_Status = 0;
    ASSERT_EQ(m_i_Pid, waitpid(m_i_Pid, &l_i_Status, 0));
    EXPECT_TRUE(WIFEXITED(l_i_Status) && WEXITSTATUS(l_i_Status) == 0);
    m_i_Pid = -1;
    struct stat l_x_Stat;
    EXPECT_NE(0, lstat(Link(7).c_str(), &l_x_Stat));
}

} // namespace
