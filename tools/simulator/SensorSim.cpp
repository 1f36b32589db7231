// tulvo_sensorsim: simulated fingerprint sensors for machines without any, and for the tests.
//
// Each sensor owns a pseudo-terminal in raw mode whose slave is linked as
// $WINEPREFIX/dosdevices/comN, so that a program under wine opens it as COMn. The sensor
// answers the device side of the link framing: serial number, run level, an echo family of
// our own and a restart request. A control connection (TCP on the loopback, so that both host
// scripts and Windows test programs under wine can reach it) drives fault injection with a
// small line-based command language. Single-threaded: one poll loop serves the ptys, the
// control connections and every timer, so there is no lock anywhere.
#include "device/link/FrameCodec.h"
#include "device/link/Ilv.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Our own command family: identifiers far from anything the service names.
const uint16_t SIM_ILV_ECHO = 0x0F00;    // reply: the same identifier and value
const uint16_t SIM_ILV_RESTART = 0x0F01; // reply: status; then unplug, and plug again later
const uint32_t SIM_SERIAL_SIZE = 21;
const uint32_t SIM_SERIAL_OFFSET = 4;
const uint32_t SIM_DEFAULT_RESTART_MS = 1000;
const size_t SIM_ASYNC_BACKLOG = 256 * 1024;
const size_t SIM_READ_CHUNK = 65536;
const int64_t SIM_RESTART_GRACE_US = 50000;

const char g_ac_Usage[] =
    "tulvo_sensorsim - simulated sensors on pseudo-terminals, seen by wine as COM ports\n"
    "\n"
    "Usage:\n"
    "  tulvo_sensorsim [OPTIONS]               run the simulator\n"
    "  tulvo_sensorsim --send PORT COMMAND...  send one command to a running simulator,\n"
    "                                          print its answer (exit 0 when it is ok)\n"
    "\n"
    "Options:\n"
    "  --sensor NAME:comN[:SERIAL[:LEVEL]]  a sensor plugged at start (repeat for several)\n"
    "  --control-port N    TCP port on 127.0.0.1 for commands (default 0: any free port)\n"
    "  --port-file FILE    write the chosen control port there once listening\n"
    "  --wineprefix DIR    where dosdevices/ lives (default $WINEPREFIX)\n"
    "  --devtree EXE       tulvo_devtree.exe: plug and unplug also add and remove the fake\n"
    "                      device and notify the service's monitor window through it\n"
    "  --wine CMD          the wine command for --devtree (default: wine)\n"
    "  --vidpid TEXT       hardware id part for --devtree (default VID_2F3A&PID_0101)\n"
    "  --log FILE          log what the sensors receive and send (default: stderr)\n"
    "  --quiet             log control commands and plug events only\n"
    "  --help              this text\n"
    "\n"
    "Commands (one per line; the answer is one line starting with \"ok\" or \"err\"):\n"
    "  add NAME comN [SERIAL [LEVEL]]   create and plug a sensor\n"
    "  remove NAME                      unplug and forget it\n"
    "  unplug NAME                      close the pty (pending I/O on the port fails)\n"
    "  plug NAME [comN]                 a new pty, on the same or another COM number\n"
    "  restart NAME [MS]                unplug, plug again MS later (default 1000)\n"
    "  delay NAME MS                    answer requests MS late\n"
    "  silent NAME on|off               answer nothing\n"
    "  invalid NAME on|off              answer every request with ILV_INVALID (0x0050)\n"
    "  status NAME N                    device status byte of serial/run-level replies\n"
    "  level NAME N                     run level reported by 0x0132\n"
    "  echo NAME raw|ilv                raw: send every frame back unchanged, whatever it\n"
    "                                   holds; ilv (default): answer as a sensor\n"
    "  async NAME ID RATE [SIZE [COUNT]]  send frames of identifier ID (0x0071, 0x0135...)\n"
    "                                   RATE per second (0: as fast as the pty takes them),\n"
    "                                   SIZE value bytes (>= 8: sequence, size, pattern),\n"
    "                                   COUNT frames (0: until 'async NAME off')\n"
    "  async NAME off\n"
    "  corrupt NAME complement|trailer [N]  spoil the next N frames sent (default 1)\n"
    "  split NAME SIZE [GAP_MS]         write frames in pieces of SIZE bytes; split NAME off\n"
    "  noise NAME COUNT                 send COUNT noise bytes now (never 'S')\n"
    "  prefix NAME COUNT                send COUNT noise bytes before every frame\n"
    "  frame NAME HEX                   send one frame holding these data bytes\n"
    "  raw NAME HEX                     send these bytes as they are\n"
    "  stall NAME on|off                stop reading the pty (writes to the port back up);\n"
    "                                   off drops what was written meanwhile\n"
    "  expect NAME HEX|off              count frames whose data does not start with HEX as\n"
    "                                   unexpected (stats: unexpected=N): which sensor got what\n"
    "  stats NAME                       counters and state (last_id_in: identifier of the\n"
    "                                   last record received, -1 for none; in_queued: bytes\n"
    "                                   written to the port that the sensor has not read yet)\n"
    "  reset NAME                       counters to 0, every fault off\n"
    "  list                             the sensors\n"
    "  quit                             stop the simulator (unplugs everything)\n"
    "\n"
    "Device requests answered in ilv mode: 0x0080 serial number (status, 3 bytes, 21\n"
    "characters), 0x0132 run level (status, level), 0x0F00 echo (same identifier and value),\n"
    "0x0F01 restart (status; then unplug, plug after the u32 LE delay in ms of the value or\n"
    "1000 ms, same serial number). Anything else: ILV_INVALID.\n";

int64_t NowUs() {
    struct timespec l_x_Now;
    clock_gettime(CLOCK_MONOTONIC, &l_x_Now);
    return static_cast<int64_t>(l_x_Now.tv_sec) * 1000000 + l_x_Now.tv_nsec / 1000;
}

FILE* g_px_Log = stderr;
bool g_b_Quiet = false;
volatile sig_atomic_t g_i_Stop = 0;

void Log(const char* i_pc_Format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* i_pc_Format, ...) {
    struct timespec l_x_Now;
    clock_gettime(CLOCK_REALTIME, &l_x_Now);
    struct tm l_x_Tm;
    localtime_r(&l_x_Now.tv_sec, &l_x_Tm);
    fprintf(g_px_Log, "%02d:%02d:%02d.%03ld ", l_x_Tm.tm_hour, l_x_Tm.tm_min, l_x_Tm.tm_sec,
            l_x_Now.tv_nsec / 1000000);
    va_list l_x_Args;
    va_start(l_x_Args, i_pc_Format);
    vfprintf(g_px_Log, i_pc_Format, l_x_Args);
    va_end(l_x_Args);
    fputc('\n', g_px_Log);
    fflush(g_px_Log);
}

struct SOutItem {
    int64_t m_ll_DueUs;
    std::vector<uint8_t> m_x_Bytes;
    size_t m_st_Offset;
};

class CSimFrames : public CFrameOwner {
public:
    int32_t HandleReceiveFrame(uint8_t* i_puc_Frame, uint32_t i_ul_Length) override {
        m_x_Frames.emplace_back(i_puc_Frame, i_puc_Frame + i_ul_Length);
        free(i_puc_Frame);
        return 0;
    }
    std::vector<std::vector<uint8_t>> m_x_Frames;
};

struct SSensor {
    std::string m_x_Name;
    int m_i_Com = 0;
    std::string m_x_Serial;
    uint8_t m_uc_Level = 1;
    int m_i_Master = -1;
    int m_i_Slave = -1;
    std::string m_x_Link;
    CSimFrames m_x_Frames;
    CFrameReceiver m_x_Receiver{&m_x_Frames};
    std::deque<SOutItem> m_x_Out;
    size_t m_st_OutBytes = 0;
    // Behaviour.
    uint32_t m_ul_DelayMs = 0;
    bool m_b_Silent = false;
    bool m_b_Invalid = false;
    bool m_b_RawEcho = false;
    bool m_b_Stall = false;
    uint8_t m_uc_Status = 0;
    uint32_t m_ul_CorruptComplement = 0;
    uint32_t m_ul_CorruptTrailer = 0;
    uint32_t m_ul_SplitSize = 0;
    uint32_t m_ul_SplitGapMs = 0;
    uint32_t m_ul_Prefix = 0;
    std::vector<uint8_t> m_x_Expected;
    uint16_t m_us_AsyncId = 0;
    double m_d_AsyncRate = 0;
    uint32_t m_ul_AsyncSize = 0;
    uint64_t m_ull_AsyncLeft = 0;
    bool m_b_AsyncOn = false;
    uint32_t m_ul_AsyncSeq = 0;
    int64_t m_ll_AsyncNextUs = 0;
    int64_t m_ll_ReplugUs = 0;
    int64_t m_ll_UnplugAtUs = 0;
    // Counters.
    uint64_t m_ull_FramesIn = 0;
    uint64_t m_ull_FramesOut = 0;
    uint64_t m_ull_BytesIn = 0;
    uint64_t m_ull_ErrorsIn = 0;
    uint64_t m_ull_Unexpected = 0;
    uint64_t m_ull_Plugs = 0;
    int m_i_LastIdIn = -1; // identifier of the last well-formed record received
};

struct SControl {
    int m_i_Fd;
    std::string m_x_In;
};

std::string g_x_WinePrefix;
std::string g_x_DevTree;
std::string g_x_Wine = "wine";
std::string g_x_VidPid = "VID_2F3A&PID_0101";
std::map<std::string, std::unique_ptr<SSensor>> g_x_Sensors;
uint32_t g_ul_Noise = 0x2545F491u;

uint8_t NoiseByte() {
    for (;;) {
        g_ul_Noise ^= g_ul_Noise << 13;
        g_ul_Noise ^= g_ul_Noise >> 17;
        g_ul_Noise ^= g_ul_Noise << 5;
        const uint8_t l_uc_Byte = static_cast<uint8_t>(g_ul_Noise);
        if (l_uc_Byte != FRAME_SYNC[0]) {
            return l_uc_Byte;
        }
    }
}

void ServeSensorsBriefly();

// Runs the device-tree tool under wine and waits for it (bounded), so that the service sees
// the port appear only once the pty is linked and disappear only after it is gone. The tool
// returns once the service has handled the notification, and the service opens a sensor
// that arrives and asks it for its serial number meanwhile: the sensors keep answering
// during the wait.
void RunDevTree(const std::vector<std::string>& i_x_Args) {
    if (g_x_DevTree.empty()) {
        return;
    }
    std::string l_x_Line = g_x_Wine + " " + g_x_DevTree;
    std::vector<std::string> l_x_Argv = {g_x_Wine, g_x_DevTree};
    for (const std::string& l_x_Arg : i_x_Args) {
        l_x_Argv.push_back(l_x_Arg);
        l_x_Line += " " + l_x_Arg;
    }
    const pid_t l_i_Pid = fork();
    if (l_i_Pid == 0) {
        std::vector<char*> l_x_C;
        for (std::string& l_x_Arg : l_x_Argv) {
            l_x_C.push_back(&l_x_Arg[0]);
        }
        l_x_C.push_back(nullptr);
        execvp(l_x_C[0], l_x_C.data());
        _exit(127);
    }
    if (l_i_Pid < 0) {
        Log("devtree: fork failed: %s", strerror(errno));
        return;
    }
    int l_i_Status = 0;
    const int64_t l_ll_Limit = NowUs() + 60 * 1000000LL;
    while (waitpid(l_i_Pid, &l_i_Status, WNOHANG) == 0) {
        if (NowUs() > l_ll_Limit) {
            kill(l_i_Pid, SIGKILL);
            waitpid(l_i_Pid, &l_i_Status, 0);
            break;
        }
        ServeSensorsBriefly();
    }
    Log("devtree: %s -> exit %d", l_x_Line.c_str(),
        WIFEXITED(l_i_Status) ? WEXITSTATUS(l_i_Status) : -1);
}

void Unplug(SSensor& io_x_Sensor) {
    if (io_x_Sensor.m_i_Master < 0) {
        return;
    }
    unlink(io_x_Sensor.m_x_Link.c_str());
    close(io_x_Sensor.m_i_Master);
    close(io_x_Sensor.m_i_Slave);
    io_x_Sensor.m_i_Master = -1;
    io_x_Sensor.m_i_Slave = -1;
    io_x_Sensor.m_x_Out.clear();
    io_x_Sensor.m_st_OutBytes = 0;
    io_x_Sensor.m_ll_UnplugAtUs = 0;
    io_x_Sensor.m_x_Receiver.ResetReceive();
    Log("%s: unplugged from com%d", io_x_Sensor.m_x_Name.c_str(), io_x_Sensor.m_i_Com);
    char l_ac_Port[16];
    snprintf(l_ac_Port, sizeof(l_ac_Port), "COM%d", io_x_Sensor.m_i_Com);
    RunDevTree({"unplug", "--port", l_ac_Port});
}

bool Plug(SSensor& io_x_Sensor, std::string* o_px_Error) {
    if (io_x_Sensor.m_i_Master >= 0) {
        *o_px_Error = "already plugged";
        return false;
    }
    const int l_i_Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (l_i_Master < 0 || grantpt(l_i_Master) != 0 || unlockpt(l_i_Master) != 0) {
        *o_px_Error = std::string("posix_openpt: ") + strerror(errno);
        if (l_i_Master >= 0) {
            close(l_i_Master);
        }
        return false;
    }
    const char* l_pc_Slave = ptsname(l_i_Master);
    // The simulator keeps the slave open too, so that the master never reads EIO between two
    // opens of the port by the program under test.
    const int l_i_Slave = l_pc_Slave != nullptr ? open(l_pc_Slave, O_RDWR | O_NOCTTY) : -1;
    if (l_i_Slave < 0) {
        *o_px_Error = std::string("open slave: ") + strerror(errno);
        close(l_i_Master);
        return false;
    }
    struct termios l_x_Termios;
    tcgetattr(l_i_Slave, &l_x_Termios);
    cfmakeraw(&l_x_Termios);
    tcsetattr(l_i_Slave, TCSANOW, &l_x_Termios);
    fcntl(l_i_Master, F_SETFL, fcntl(l_i_Master, F_GETFL) | O_NONBLOCK);
    io_x_Sensor.m_x_Link = g_x_WinePrefix + "/dosdevices/com" + std::to_string(io_x_Sensor.m_i_Com);
    unlink(io_x_Sensor.m_x_Link.c_str());
    if (symlink(l_pc_Slave, io_x_Sensor.m_x_Link.c_str()) != 0) {
        *o_px_Error = "symlink " + io_x_Sensor.m_x_Link + ": " + strerror(errno);
        close(l_i_Slave);
        close(l_i_Master);
        return false;
    }
    io_x_Sensor.m_i_Master = l_i_Master;
    io_x_Sensor.m_i_Slave = l_i_Slave;
    io_x_Sensor.m_x_Receiver.ResetReceive();
    io_x_Sensor.m_ll_ReplugUs = 0;
    ++io_x_Sensor.m_ull_Plugs;
    Log("%s: plugged as com%d (%s), serial %s", io_x_Sensor.m_x_Name.c_str(), io_x_Sensor.m_i_Com,
        l_pc_Slave, io_x_Sensor.m_x_Serial.c_str());
    char l_ac_Port[16];
    snprintf(l_ac_Port, sizeof(l_ac_Port), "COM%d", io_x_Sensor.m_i_Com);
    const std::string l_x_Id = "USB\\" + g_x_VidPid + "\\" + io_x_Sensor.m_x_Serial;
    RunDevTree({"plug", "--id", l_x_Id, "--port", l_ac_Port});
    return true;
}

void Enqueue(SSensor& io_x_Sensor, std::vector<uint8_t> i_x_Bytes, int64_t i_ll_DueUs) {
    if (i_x_Bytes.empty()) {
        // Nothing to write would never leave the queue.
        return;
    }
    io_x_Sensor.m_st_OutBytes += i_x_Bytes.size();
    io_x_Sensor.m_x_Out.push_back(SOutItem{i_ll_DueUs, std::move(i_x_Bytes), 0});
}

// Frames every outgoing record, applying the faults that are switched on.
void SendFrame(SSensor& io_x_Sensor, const uint8_t* i_puc_Data, uint32_t i_ul_Length,
               int64_t i_ll_DueUs) {
    uint8_t* l_puc_Frame = nullptr;
    uint32_t l_ul_Size = 0;
    if (Frame_AllocEncoded(i_puc_Data, i_ul_Length, &l_puc_Frame, &l_ul_Size) != 0) {
        Log("%s: cannot encode a frame of %u bytes", io_x_Sensor.m_x_Name.c_str(), i_ul_Length);
        return;
    }
    std::vector<uint8_t> l_x_Frame(l_puc_Frame, l_puc_Frame + l_ul_Size);
    free(l_puc_Frame);
    if (io_x_Sensor.m_ul_CorruptComplement > 0) {
        --io_x_Sensor.m_ul_CorruptComplement;
        l_x_Frame[8] ^= 0x01;
    } else if (io_x_Sensor.m_ul_CorruptTrailer > 0) {
        --io_x_Sensor.m_ul_CorruptTrailer;
        l_x_Frame[l_ul_Size - 1] = 'X';
    }
    if (io_x_Sensor.m_ul_Prefix > 0) {
        std::vector<uint8_t> l_x_Noise(io_x_Sensor.m_ul_Prefix);
        for (uint8_t& l_uc_Byte : l_x_Noise) {
            l_uc_Byte = NoiseByte();
        }
        Enqueue(io_x_Sensor, std::move(l_x_Noise), i_ll_DueUs);
    }
    ++io_x_Sensor.m_ull_FramesOut;
    if (!g_b_Quiet && l_ul_Size < 4096) {
        Log("%s -> frame L=%u I=0x%04X", io_x_Sensor.m_x_Name.c_str(), i_ul_Length,
            i_ul_Length >= 3 ? ILV_GetIdentifier(i_puc_Data) : 0);
    }
    if (io_x_Sensor.m_ul_SplitSize == 0) {
        Enqueue(io_x_Sensor, std::move(l_x_Frame), i_ll_DueUs);
        return;
    }
    int64_t l_ll_Due = i_ll_DueUs;
    for (size_t l_st_Offset = 0; l_st_Offset < l_x_Frame.size();
         l_st_Offset += io_x_Sensor.m_ul_SplitSize) {
        const size_t l_st_End =
            std::min(l_x_Frame.size(), l_st_Offset + io_x_Sensor.m_ul_SplitSize);
        Enqueue(io_x_Sensor,
                std::vector<uint8_t>(l_x_Frame.begin() + static_cast<ptrdiff_t>(l_st_Offset),
                                     l_x_Frame.begin() + static_cast<ptrdiff_t>(l_st_End)),
                l_ll_Due);
        l_ll_Due += static_cast<int64_t>(io_x_Sensor.m_ul_SplitGapMs) * 1000;
    }
}

void SendRecord(SSensor& io_x_Sensor, uint16_t i_us_Id, const std::vector<uint8_t>& i_x_Value,
                int64_t i_ll_DueUs) {
    std::vector<uint8_t> l_x_Record(ILV_MAX_EMPTY_SIZE + 4 + i_x_Value.size());
    uint32_t l_ul_Size = 0;
    ILV_Init(l_x_Record.data(), &l_ul_Size, i_us_Id);
    ILV_AddValue(l_x_Record.data(), &l_ul_Size, i_x_Value.data(),
                 static_cast<uint32_t>(i_x_Value.size()));
    SendFrame(io_x_Sensor, l_x_Record.data(), l_ul_Size, i_ll_DueUs);
}

void HandleFrame(SSensor& io_x_Sensor, const std::vector<uint8_t>& i_x_Frame) {
    ++io_x_Sensor.m_ull_FramesIn;
    const std::vector<uint8_t>& l_x_Expected = io_x_Sensor.m_x_Expected;
    if (!l_x_Expected.empty() &&
        (i_x_Frame.size() < l_x_Expected.size() ||
         !std::equal(l_x_Expected.begin(), l_x_Expected.end(), i_x_Frame.begin()))) {
        ++io_x_Sensor.m_ull_Unexpected;
        Log("%s <- unexpected frame L=%zu", io_x_Sensor.m_x_Name.c_str(), i_x_Frame.size());
    }
    const uint32_t l_ul_Length = static_cast<uint32_t>(i_x_Frame.size());
    const bool l_b_Ilv = ILV_Check(i_x_Frame.data(), l_ul_Length) == 0;
    const uint16_t l_us_Id = l_b_Ilv ? ILV_GetIdentifier(i_x_Frame.data()) : 0;
    if (l_b_Ilv) {
        io_x_Sensor.m_i_LastIdIn = l_us_Id;
    }
    if (!g_b_Quiet) {
        if (l_b_Ilv) {
            Log("%s <- frame L=%u I=0x%04X", io_x_Sensor.m_x_Name.c_str(), l_ul_Length, l_us_Id);
        } else {
            Log("%s <- frame L=%u (not one ILV record)", io_x_Sensor.m_x_Name.c_str(), l_ul_Length);
        }
    }
    if (io_x_Sensor.m_b_Silent) {
        return;
    }
    const int64_t l_ll_Due = NowUs() + static_cast<int64_t>(io_x_Sensor.m_ul_DelayMs) * 1000;
    if (io_x_Sensor.m_b_RawEcho) {
        SendFrame(io_x_Sensor, i_x_Frame.data(), l_ul_Length, l_ll_Due);
        return;
    }
    if (!l_b_Ilv || io_x_Sensor.m_b_Invalid) {
        SendRecord(io_x_Sensor, ILV_INVALID, {}, l_ll_Due);
        return;
    }
    const uint8_t* l_puc_Value = ILV_GetValue(i_x_Frame.data());
    const uint32_t l_ul_ValueLength = ILV_GetLength(i_x_Frame.data());
    switch (l_us_Id) {
    case ILV_GET_SERIAL_NUMBER: {
        std::vector<uint8_t> l_x_Value(SIM_SERIAL_OFFSET + SIM_SERIAL_SIZE, 0);
        l_x_Value[0] = io_x_Sensor.m_uc_Status;
        memcpy(&l_x_Value[SIM_SERIAL_OFFSET], io_x_Sensor.m_x_Serial.data(),
               std::min<size_t>(SIM_SERIAL_SIZE, io_x_Sensor.m_x_Serial.size()));
        SendRecord(io_x_Sensor, l_us_Id, l_x_Value, l_ll_Due);
        break;
    }
    case ILV_GET_RUN_LEVEL:
        SendRecord(io_x_Sensor, l_us_Id, {io_x_Sensor.m_uc_Status, io_x_Sensor.m_uc_Level},
                   l_ll_Due);
        break;
    case SIM_ILV_ECHO:
        SendRecord(io_x_Sensor, l_us_Id,
                   std::vector<uint8_t>(l_puc_Value, l_puc_Value + l_ul_ValueLength), l_ll_Due);
        break;
    case SIM_ILV_RESTART: {
        uint32_t l_ul_Ms = SIM_DEFAULT_RESTART_MS;
        if (l_ul_ValueLength >= 4) {
            l_ul_Ms = static_cast<uint32_t>(l_puc_Value[0]) | (l_puc_Value[1] << 8) |
                      (l_puc_Value[2] << 16) | (static_cast<uint32_t>(l_puc_Value[3]) << 24);
        }
        SendRecord(io_x_Sensor, l_us_Id, {io_x_Sensor.m_uc_Status}, l_ll_Due);
        // The replug timer starts once the reply is out (see the poll loop).
        io_x_Sensor.m_ll_ReplugUs = -static_cast<int64_t>(l_ul_Ms) - 1;
        break;
    }
    default:
        SendRecord(io_x_Sensor, ILV_INVALID, {}, l_ll_Due);
        break;
    }
}

void ReadPty(SSensor& io_x_Sensor) {
    std::vector<uint8_t> l_x_Buffer(SIM_READ_CHUNK);
    for (;;) {
        const ssize_t l_ss_Read =
            read(io_x_Sensor.m_i_Master, l_x_Buffer.data(), l_x_Buffer.size());
        if (l_ss_Read <= 0) {
            return;
        }
        io_x_Sensor.m_ull_BytesIn += static_cast<uint64_t>(l_ss_Read);
        if (io_x_Sensor.m_b_Stall) {
            continue;
        }
        if (io_x_Sensor.m_x_Receiver.HandleReceiveBytes(l_x_Buffer.data(),
                                                        static_cast<uint32_t>(l_ss_Read)) != 0) {
            ++io_x_Sensor.m_ull_ErrorsIn;
            io_x_Sensor.m_x_Receiver.ResetReceive();
            Log("%s <- bad frame, resynchronising", io_x_Sensor.m_x_Name.c_str());
        }
        std::vector<std::vector<uint8_t>> l_x_Frames;
        l_x_Frames.swap(io_x_Sensor.m_x_Frames.m_x_Frames);
        for (const std::vector<uint8_t>& l_x_Frame : l_x_Frames) {
            HandleFrame(io_x_Sensor, l_x_Frame);
        }
        if (static_cast<size_t>(l_ss_Read) < l_x_Buffer.size()) {
            return;
        }
    }
}

// Writes what is due, in order; stops at the first item not yet due, or when the pty takes no
// more for now (full, or gone).
void WritePty(SSensor& io_x_Sensor, int64_t i_ll_Now) {
    while (!io_x_Sensor.m_x_Out.empty()) {
        SOutItem& l_x_Item = io_x_Sensor.m_x_Out.front();
        if (l_x_Item.m_ll_DueUs > i_ll_Now) {
            return;
        }
        const ssize_t l_ss_Written =
            write(io_x_Sensor.m_i_Master, l_x_Item.m_x_Bytes.data() + l_x_Item.m_st_Offset,
                  l_x_Item.m_x_Bytes.size() - l_x_Item.m_st_Offset);
        if (l_ss_Written <= 0) {
            return;
        }
        l_x_Item.m_st_Offset += static_cast<size_t>(l_ss_Written);
        io_x_Sensor.m_st_OutBytes -= static_cast<size_t>(l_ss_Written);
        if (l_x_Item.m_st_Offset < l_x_Item.m_x_Bytes.size()) {
            return;
        }
        io_x_Sensor.m_x_Out.pop_front();
    }
}

// Reads requests and writes due replies for up to 5 ms; control commands wait.
void ServeSensorsBriefly() {
    std::vector<struct pollfd> l_x_Polls;
    std::vector<SSensor*> l_x_Polled;
    for (auto& l_x_Entry : g_x_Sensors) {
        SSensor& l_x_Sensor = *l_x_Entry.second;
        if (l_x_Sensor.m_i_Master >= 0) {
            WritePty(l_x_Sensor, NowUs());
            l_x_Polls.push_back(
                {l_x_Sensor.m_i_Master, static_cast<short>(l_x_Sensor.m_b_Stall ? 0 : POLLIN), 0});
            l_x_Polled.push_back(&l_x_Sensor);
        }
    }
    if (poll(l_x_Polls.data(), l_x_Polls.size(), 5) <= 0) {
        return;
    }
    for (size_t l_st_Index = 0; l_st_Index < l_x_Polled.size(); ++l_st_Index) {
        if (l_x_Polls[l_st_Index].revents & POLLIN) {
            ReadPty(*l_x_Polled[l_st_Index]);
        }
    }
}

void GenerateAsync(SSensor& io_x_Sensor, int64_t i_ll_Now) {
    while (io_x_Sensor.m_b_AsyncOn && io_x_Sensor.m_ll_AsyncNextUs <= i_ll_Now &&
           io_x_Sensor.m_st_OutBytes < SIM_ASYNC_BACKLOG) {
        std::vector<uint8_t> l_x_Value(io_x_Sensor.m_ul_AsyncSize);
        const uint32_t l_ul_Seq = io_x_Sensor.m_ul_AsyncSeq++;
        for (size_t l_st_Index = 0; l_st_Index < l_x_Value.size(); ++l_st_Index) {
            l_x_Value[l_st_Index] = static_cast<uint8_t>(l_ul_Seq + l_st_Index);
        }
        for (int l_i_Byte = 0; l_i_Byte < 4; ++l_i_Byte) {
            l_x_Value[l_i_Byte] = static_cast<uint8_t>(l_ul_Seq >> (8 * l_i_Byte));
            l_x_Value[4 + l_i_Byte] =
                static_cast<uint8_t>(io_x_Sensor.m_ul_AsyncSize >> (8 * l_i_Byte));
        }
        const bool l_b_Quiet = g_b_Quiet;
        g_b_Quiet = true;
        SendRecord(io_x_Sensor, io_x_Sensor.m_us_AsyncId, l_x_Value, i_ll_Now);
        g_b_Quiet = l_b_Quiet;
        if (io_x_Sensor.m_ull_AsyncLeft > 0 && --io_x_Sensor.m_ull_AsyncLeft == 0) {
            io_x_Sensor.m_b_AsyncOn = false;
            Log("%s: async frames done (%u sent)", io_x_Sensor.m_x_Name.c_str(),
                io_x_Sensor.m_ul_AsyncSeq);
        }
        if (io_x_Sensor.m_d_AsyncRate > 0) {
            io_x_Sensor.m_ll_AsyncNextUs += static_cast<int64_t>(1e6 / io_x_Sensor.m_d_AsyncRate);
        }
    }
}

bool ParseHex(const std::string& i_x_Text, std::vector<uint8_t>* o_px_Bytes) {
    std::string l_x_Digits;
    for (char l_c_Char : i_x_Text) {
        if (l_c_Char != ' ' && l_c_Char != ':') {
            l_x_Digits += l_c_Char;
        }
    }
    if (l_x_Digits.size() % 2 != 0) {
        return false;
    }
    for (size_t l_st_Index = 0; l_st_Index < l_x_Digits.size(); l_st_Index += 2) {
        char* l_pc_End = nullptr;
        const std::string l_x_Pair = l_x_Digits.substr(l_st_Index, 2);
        const unsigned long l_ul_Byte = strtoul(l_x_Pair.c_str(), &l_pc_End, 16);
        if (*l_pc_End != '\0') {
            return false;
        }
        o_px_Bytes->push_back(static_cast<uint8_t>(l_ul_Byte));
    }
    return true;
}

bool ParseNumber(const std::string& i_x_Text, unsigned long long* o_pull_Value) {
    if (i_x_Text.empty()) {
        return false;
    }
    char* l_pc_End = nullptr;
    *o_pull_Value = strtoull(i_x_Text.c_str(), &l_pc_End, 0);
    return *l_pc_End == '\0';
}

bool ParseCom(const std::string& i_x_Text, int* o_pi_Com) {
    std::string l_x_Lower;
    for (char l_c_Char : i_x_Text) {
        l_x_Lower += static_cast<char>(tolower(static_cast<unsigned char>(l_c_Char)));
    }
    unsigned long long l_ull_Com = 0;
    if (l_x_Lower.compare(0, 3, "com") != 0 || !ParseNumber(l_x_Lower.substr(3), &l_ull_Com) ||
        l_ull_Com < 1 || l_ull_Com > 255) {
        return false;
    }
    *o_pi_Com = static_cast<int>(l_ull_Com);
    return true;
}

bool ParseOnOff(const std::string& i_x_Text, bool* o_pb_Value) {
    if (i_x_Text == "on" || i_x_Text == "1") {
        *o_pb_Value = true;
        return true;
    }
    if (i_x_Text == "off" || i_x_Text == "0") {
        *o_pb_Value = false;
        return true;
    }
    return false;
}

void ResetFaults(SSensor& io_x_Sensor) {
    io_x_Sensor.m_ul_DelayMs = 0;
    io_x_Sensor.m_b_Silent = false;
    io_x_Sensor.m_b_Invalid = false;
    io_x_Sensor.m_b_RawEcho = false;
    io_x_Sensor.m_b_Stall = false;
    io_x_Sensor.m_uc_Status = 0;
    io_x_Sensor.m_ul_CorruptComplement = 0;
    io_x_Sensor.m_ul_CorruptTrailer = 0;
    io_x_Sensor.m_ul_SplitSize = 0;
    io_x_Sensor.m_ul_SplitGapMs = 0;
    io_x_Sensor.m_ul_Prefix = 0;
    io_x_Sensor.m_x_Expected.clear();
    io_x_Sensor.m_b_AsyncOn = false;
    io_x_Sensor.m_ull_FramesIn = 0;
    io_x_Sensor.m_ull_FramesOut = 0;
    io_x_Sensor.m_ull_BytesIn = 0;
    io_x_Sensor.m_ull_ErrorsIn = 0;
    io_x_Sensor.m_i_LastIdIn = -1;
    io_x_Sensor.m_ull_Unexpected = 0;
}

std::string Stats(const SSensor& i_x_Sensor) {
    int l_i_Queued = 0;
    if (i_x_Sensor.m_i_Master < 0 || ioctl(i_x_Sensor.m_i_Master, FIONREAD, &l_i_Queued) != 0) {
        l_i_Queued = 0;
    }
    std::ostringstream l_x_Out;
    l_x_Out << "name=" << i_x_Sensor.m_x_Name << " com=" << i_x_Sensor.m_i_Com
            << " plugged=" << (i_x_Sensor.m_i_Master >= 0 ? 1 : 0)
            << " plugs=" << i_x_Sensor.m_ull_Plugs << " serial=" << i_x_Sensor.m_x_Serial
            << " frames_in=" << i_x_Sensor.m_ull_FramesIn
            << " frames_out=" << i_x_Sensor.m_ull_FramesOut
            << " bytes_in=" << i_x_Sensor.m_ull_BytesIn
            << " errors_in=" << i_x_Sensor.m_ull_ErrorsIn
            << " last_id_in=" << i_x_Sensor.m_i_LastIdIn
            << " unexpected=" << i_x_Sensor.m_ull_Unexpected << " in_queued=" << l_i_Queued
            << " async_sent=" << i_x_Sensor.m_ul_AsyncSeq
            << " async_on=" << (i_x_Sensor.m_b_AsyncOn ? 1 : 0)
            << " out_bytes=" << i_x_Sensor.m_st_OutBytes;
    return l_x_Out.str();
}

// Runs one command line; the answer starts with "ok" or "err".
std::string RunCommand(const std::string& i_x_Line) {
    std::istringstream l_x_In(i_x_Line);
    std::vector<std::string> l_x_Words;
    for (std::string l_x_Word; l_x_In >> l_x_Word;) {
        l_x_Words.push_back(l_x_Word);
    }
    if (l_x_Words.empty()) {
        return "err empty command";
    }
    Log("control: %s", i_x_Line.c_str());
    const std::string& l_x_Verb = l_x_Words[0];
    if (l_x_Verb == "quit") {
        g_i_Stop = 1;
        return "ok";
    }
    if (l_x_Verb == "help") {
        return "ok see tulvo_sensorsim --help";
    }
    if (l_x_Verb == "list") {
        std::string l_x_Answer = "ok";
        for (const auto& l_x_Entry : g_x_Sensors) {
            l_x_Answer +=
                " " + l_x_Entry.first + "=com" + std::to_string(l_x_Entry.second->m_i_Com);
        }
        return l_x_Answer;
    }
    if (l_x_Words.size() < 2) {
        return "err missing sensor name";
    }
    const std::string& l_x_Name = l_x_Words[1];
    std::string l_x_Error;
    if (l_x_Verb == "add") {
        int l_i_Com = 0;
        if (l_x_Words.size() < 3 || !ParseCom(l_x_Words[2], &l_i_Com)) {
            return "err usage: add NAME comN [SERIAL [LEVEL]]";
        }
        if (g_x_Sensors.count(l_x_Name) != 0) {
            return "err sensor exists";
        }
        std::unique_ptr<SSensor> l_px_Sensor(new SSensor);
        l_px_Sensor->m_x_Name = l_x_Name;
        l_px_Sensor->m_i_Com = l_i_Com;
        l_px_Sensor->m_x_Serial =
            l_x_Words.size() > 3 ? l_x_Words[3] : "SIM" + std::to_string(l_i_Com);
        unsigned long long l_ull_Level = 1;
        if (l_x_Words.size() > 4 &&
            (!ParseNumber(l_x_Words[4], &l_ull_Level) || l_ull_Level > 255)) {
            return "err bad level";
        }
        l_px_Sensor->m_uc_Level = static_cast<uint8_t>(l_ull_Level);
        // Listed before it plugs: it answers while the device-tree tool notifies the service.
        SSensor& l_x_Added = *l_px_Sensor;
        g_x_Sensors[l_x_Name] = std::move(l_px_Sensor);
        if (!Plug(l_x_Added, &l_x_Error)) {
            g_x_Sensors.erase(l_x_Name);
            return "err " + l_x_Error;
        }
        return "ok";
    }
    auto l_x_Found = g_x_Sensors.find(l_x_Name);
    if (l_x_Found == g_x_Sensors.end()) {
        return "err no sensor " + l_x_Name;
    }
    SSensor& l_x_Sensor = *l_x_Found->second;
    const std::string l_x_Arg = l_x_Words.size() > 2 ? l_x_Words[2] : std::string();
    unsigned long long l_ull_Value = 0;
    bool l_b_Flag = false;
    if (l_x_Verb == "remove") {
        Unplug(l_x_Sensor);
        g_x_Sensors.erase(l_x_Found);
        return "ok";
    }
    if (l_x_Verb == "unplug") {
        l_x_Sensor.m_ll_ReplugUs = 0;
        Unplug(l_x_Sensor);
        return "ok";
    }
    if (l_x_Verb == "plug") {
        if (!l_x_Arg.empty() && !ParseCom(l_x_Arg, &l_x_Sensor.m_i_Com)) {
            return "err bad COM name";
        }
        if (!Plug(l_x_Sensor, &l_x_Error)) {
            return "err " + l_x_Error;
        }
        // A plug by hand ends a restart early.
        l_x_Sensor.m_ll_ReplugUs = 0;
        return "ok";
    }
    if (l_x_Verb == "restart") {
        l_ull_Value = SIM_DEFAULT_RESTART_MS;
        if (!l_x_Arg.empty() && !ParseNumber(l_x_Arg, &l_ull_Value)) {
            return "err bad delay";
        }
        Unplug(l_x_Sensor);
        l_x_Sensor.m_ll_ReplugUs = NowUs() + static_cast<int64_t>(l_ull_Value) * 1000;
        return "ok";
    }
    if (l_x_Verb == "delay" && ParseNumber(l_x_Arg, &l_ull_Value)) {
        l_x_Sensor.m_ul_DelayMs = static_cast<uint32_t>(l_ull_Value);
        return "ok";
    }
    if (l_x_Verb == "silent" && ParseOnOff(l_x_Arg, &l_b_Flag)) {
        l_x_Sensor.m_b_Silent = l_b_Flag;
        return "ok";
    }
    if (l_x_Verb == "invalid" && ParseOnOff(l_x_Arg, &l_b_Flag)) {
        l_x_Sensor.m_b_Invalid = l_b_Flag;
        return "ok";
    }
    if (l_x_Verb == "status" && ParseNumber(l_x_Arg, &l_ull_Value) && l_ull_Value < 256) {
        l_x_Sensor.m_uc_Status = static_cast<uint8_t>(l_ull_Value);
        return "ok";
    }
    if (l_x_Verb == "level" && ParseNumber(l_x_Arg, &l_ull_Value) && l_ull_Value < 256) {
        l_x_Sensor.m_uc_Level = static_cast<uint8_t>(l_ull_Value);
        return "ok";
    }
    if (l_x_Verb == "echo" && (l_x_Arg == "raw" || l_x_Arg == "ilv")) {
        l_x_Sensor.m_b_RawEcho = l_x_Arg == "raw";
        return "ok";
    }
    if (l_x_Verb == "stall" && ParseOnOff(l_x_Arg, &l_b_Flag)) {
        if (l_b_Flag) {
            l_x_Sensor.m_b_Stall = true;
            return "ok";
        }
        // What was written while stalled belongs to writes that were given up: drop it all.
        uint8_t l_auc_Drop[4096];
        while (l_x_Sensor.m_i_Master >= 0 &&
               read(l_x_Sensor.m_i_Master, l_auc_Drop, sizeof(l_auc_Drop)) > 0) {
        }
        l_x_Sensor.m_x_Receiver.ResetReceive();
        l_x_Sensor.m_b_Stall = false;
        return "ok";
    }
    if (l_x_Verb == "expect") {
        std::vector<uint8_t> l_x_Bytes;
        if (l_x_Arg != "off" && (!ParseHex(l_x_Arg, &l_x_Bytes) || l_x_Bytes.empty())) {
            return "err usage: expect NAME HEX|off";
        }
        l_x_Sensor.m_x_Expected = l_x_Bytes;
        return "ok";
    }
    if (l_x_Verb == "async") {
        if (l_x_Arg == "off") {
            l_x_Sensor.m_b_AsyncOn = false;
            return "ok";
        }
        unsigned long long l_ull_Id = 0, l_ull_Size = 16, l_ull_Count = 0;
        double l_d_Rate = 0;
        if (l_x_Words.size() < 4 || !ParseNumber(l_x_Arg, &l_ull_Id) || l_ull_Id > 0xFFFF) {
            return "err usage: async NAME ID RATE [SIZE [COUNT]]";
        }
        l_d_Rate = strtod(l_x_Words[3].c_str(), nullptr);
        if ((l_x_Words.size() > 4 && !ParseNumber(l_x_Words[4], &l_ull_Size)) || l_ull_Size < 8 ||
            l_ull_Size > FRAME_MAX_DATA_LENGTH ||
            (l_x_Words.size() > 5 && !ParseNumber(l_x_Words[5], &l_ull_Count)) || l_d_Rate < 0) {
            return "err bad async arguments";
        }
        l_x_Sensor.m_us_AsyncId = static_cast<uint16_t>(l_ull_Id);
        l_x_Sensor.m_d_AsyncRate = l_d_Rate;
        l_x_Sensor.m_ul_AsyncSize = static_cast<uint32_t>(l_ull_Size);
        l_x_Sensor.m_ull_AsyncLeft = l_ull_Count;
        l_x_Sensor.m_ul_AsyncSeq = 0;
        l_x_Sensor.m_ll_AsyncNextUs = NowUs();
        l_x_Sensor.m_b_AsyncOn = true;
        return "ok";
    }
    if (l_x_Verb == "corrupt" && (l_x_Arg == "complement" || l_x_Arg == "trailer")) {
        l_ull_Value = 1;
        if (l_x_Words.size() > 3 && !ParseNumber(l_x_Words[3], &l_ull_Value)) {
            return "err bad count";
        }
        (l_x_Arg == "complement" ? l_x_Sensor.m_ul_CorruptComplement
                                 : l_x_Sensor.m_ul_CorruptTrailer) =
            static_cast<uint32_t>(l_ull_Value);
        return "ok";
    }
    if (l_x_Verb == "split") {
        if (l_x_Arg == "off") {
            l_x_Sensor.m_ul_SplitSize = 0;
            return "ok";
        }
        unsigned long long l_ull_Gap = 0;
        if (!ParseNumber(l_x_Arg, &l_ull_Value) || l_ull_Value == 0 ||
            (l_x_Words.size() > 3 && !ParseNumber(l_x_Words[3], &l_ull_Gap))) {
            return "err usage: split NAME SIZE [GAP_MS]";
        }
        l_x_Sensor.m_ul_SplitSize = static_cast<uint32_t>(l_ull_Value);
        l_x_Sensor.m_ul_SplitGapMs = static_cast<uint32_t>(l_ull_Gap);
        return "ok";
    }
    if ((l_x_Verb == "noise" || l_x_Verb == "prefix") && ParseNumber(l_x_Arg, &l_ull_Value) &&
        l_ull_Value <= 1024 * 1024) {
        if (l_x_Verb == "prefix") {
            l_x_Sensor.m_ul_Prefix = static_cast<uint32_t>(l_ull_Value);
            return "ok";
        }
        std::vector<uint8_t> l_x_Noise(static_cast<size_t>(l_ull_Value));
        for (uint8_t& l_uc_Byte : l_x_Noise) {
            l_uc_Byte = NoiseByte();
        }
        Enqueue(l_x_Sensor, std::move(l_x_Noise), NowUs());
        return "ok";
    }
    if (l_x_Verb == "frame" || l_x_Verb == "raw") {
        std::vector<uint8_t> l_x_Bytes;
        const size_t l_st_HexStart = i_x_Line.find(l_x_Name) + l_x_Name.size();
        if (!ParseHex(i_x_Line.substr(l_st_HexStart), &l_x_Bytes)) {
            return "err bad hex";
        }
        if (l_x_Verb == "frame") {
            SendFrame(l_x_Sensor, l_x_Bytes.data(), static_cast<uint32_t>(l_x_Bytes.size()),
                      NowUs());
        } else {
            Enqueue(l_x_Sensor, std::move(l_x_Bytes), NowUs());
        }
        return "ok";
    }
    if (l_x_Verb == "stats") {
        return "ok " + Stats(l_x_Sensor);
    }
    if (l_x_Verb == "reset") {
        ResetFaults(l_x_Sensor);
        return "ok";
    }
    return "err unknown command or bad arguments: " + i_x_Line;
}

int OpenControl(int i_i_Port, const std::string& i_x_PortFile) {
    const int l_i_Fd = socket(AF_INET, SOCK_STREAM, 0);
    const int l_i_One = 1;
    setsockopt(l_i_Fd, SOL_SOCKET, SO_REUSEADDR, &l_i_One, sizeof(l_i_One));
    struct sockaddr_in l_x_Addr;
    memset(&l_x_Addr, 0, sizeof(l_x_Addr));
    l_x_Addr.sin_family = AF_INET;
    l_x_Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    l_x_Addr.sin_port = htons(static_cast<uint16_t>(i_i_Port));
    if (bind(l_i_Fd, reinterpret_cast<struct sockaddr*>(&l_x_Addr), sizeof(l_x_Addr)) != 0 ||
        listen(l_i_Fd, 16) != 0) {
        fprintf(stderr, "tulvo_sensorsim: control port %d: %s\n", i_i_Port, strerror(errno));
        close(l_i_Fd);
        return -1;
    }
    socklen_t l_x_Len = sizeof(l_x_Addr);
    getsockname(l_i_Fd, reinterpret_cast<struct sockaddr*>(&l_x_Addr), &l_x_Len);
    const int l_i_Chosen = ntohs(l_x_Addr.sin_port);
    Log("control on 127.0.0.1:%d", l_i_Chosen);
    if (!i_x_PortFile.empty()) {
        const std::string l_x_Temp = i_x_PortFile + ".tmp";
        FILE* l_px_File = fopen(l_x_Temp.c_str(), "w");
        if (l_px_File != nullptr) {
            fprintf(l_px_File, "%d\n", l_i_Chosen);
            fclose(l_px_File);
            rename(l_x_Temp.c_str(), i_x_PortFile.c_str());
        }
    }
    return l_i_Fd;
}

int SendOne(int i_i_Port, const std::string& i_x_Command) {
    const int l_i_Fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in l_x_Addr;
    memset(&l_x_Addr, 0, sizeof(l_x_Addr));
    l_x_Addr.sin_family = AF_INET;
    l_x_Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    l_x_Addr.sin_port = htons(static_cast<uint16_t>(i_i_Port));
    if (connect(l_i_Fd, reinterpret_cast<struct sockaddr*>(&l_x_Addr), sizeof(l_x_Addr)) != 0) {
        fprintf(stderr, "tulvo_sensorsim: connect to %d: %s\n", i_i_Port, strerror(errno));
        close(l_i_Fd);
        return 2;
    }
    const std::string l_x_Line = i_x_Command + "\n";
    if (write(l_i_Fd, l_x_Line.data(), l_x_Line.size()) != static_cast<ssize_t>(l_x_Line.size())) {
        close(l_i_Fd);
        return 2;
    }
    std::string l_x_Answer;
    char l_c_Char = 0;
    while (read(l_i_Fd, &l_c_Char, 1) == 1 && l_c_Char != '\n') {
        l_x_Answer += l_c_Char;
    }
    close(l_i_Fd);
    printf("%s\n", l_x_Answer.c_str());
    return l_x_Answer.compare(0, 2, "ok") == 0 ? 0 : 1;
}

void OnSignal(int) {
    g_i_Stop = 1;
}

int RunLoop(int i_i_Listen) {
    std::vector<SControl> l_x_Controls;
    while (!g_i_Stop) {
        const int64_t l_ll_Now = NowUs();
        int64_t l_ll_Next = l_ll_Now + 1000000;
        for (auto& l_x_Entry : g_x_Sensors) {
            SSensor& l_x_Sensor = *l_x_Entry.second;
            if (l_x_Sensor.m_ll_ReplugUs > 0 && l_x_Sensor.m_ll_ReplugUs <= l_ll_Now) {
                std::string l_x_Error;
                if (!Plug(l_x_Sensor, &l_x_Error)) {
                    Log("%s: replug failed: %s", l_x_Sensor.m_x_Name.c_str(), l_x_Error.c_str());
                }
                l_x_Sensor.m_ll_ReplugUs = 0;
            }
            if (l_x_Sensor.m_i_Master < 0) {
                if (l_x_Sensor.m_ll_ReplugUs > 0) {
                    l_ll_Next = std::min(l_ll_Next, l_x_Sensor.m_ll_ReplugUs);
                }
                continue;
            }
            GenerateAsync(l_x_Sensor, l_ll_Now);
            WritePty(l_x_Sensor, l_ll_Now);
            if (l_x_Sensor.m_ll_ReplugUs < 0 && l_x_Sensor.m_x_Out.empty() &&
                l_x_Sensor.m_ll_UnplugAtUs == 0) {
                // A restart request: its reply is in the pty; give the reader a moment to
                // take it before the line goes away.
                l_x_Sensor.m_ll_UnplugAtUs = l_ll_Now + SIM_RESTART_GRACE_US;
            }
            if (l_x_Sensor.m_ll_UnplugAtUs != 0) {
                l_ll_Next = std::min(l_ll_Next, l_x_Sensor.m_ll_UnplugAtUs);
            }
            if (l_x_Sensor.m_ll_UnplugAtUs != 0 && l_x_Sensor.m_ll_UnplugAtUs <= l_ll_Now) {
                const int64_t l_ll_Ms = -l_x_Sensor.m_ll_ReplugUs - 1;
                l_x_Sensor.m_ll_UnplugAtUs = 0;
                Unplug(l_x_Sensor);
                l_x_Sensor.m_ll_ReplugUs = NowUs() + l_ll_Ms * 1000;
                l_ll_Next = std::min(l_ll_Next, l_x_Sensor.m_ll_ReplugUs);
                continue;
            }
            if (!l_x_Sensor.m_x_Out.empty()) {
                l_ll_Next = std::min(l_ll_Next, l_x_Sensor.m_x_Out.front().m_ll_DueUs);
            }
            if (l_x_Sensor.m_b_AsyncOn) {
                l_ll_Next = std::min(l_ll_Next, l_x_Sensor.m_ll_AsyncNextUs);
            }
        }
        std::vector<struct pollfd> l_x_Polls;
        l_x_Polls.push_back({i_i_Listen, POLLIN, 0});
        for (const SControl& l_x_Control : l_x_Controls) {
            l_x_Polls.push_back({l_x_Control.m_i_Fd, POLLIN, 0});
        }
        std::vector<SSensor*> l_x_Polled;
        const int64_t l_ll_After = NowUs();
        for (auto& l_x_Entry : g_x_Sensors) {
            SSensor& l_x_Sensor = *l_x_Entry.second;
            if (l_x_Sensor.m_i_Master < 0) {
                continue;
            }
            short l_s_Events = l_x_Sensor.m_b_Stall ? 0 : POLLIN;
            if (!l_x_Sensor.m_x_Out.empty() &&
                l_x_Sensor.m_x_Out.front().m_ll_DueUs <= l_ll_After) {
                l_s_Events |= POLLOUT;
            }
            l_x_Polls.push_back({l_x_Sensor.m_i_Master, l_s_Events, 0});
            l_x_Polled.push_back(&l_x_Sensor);
        }
        int64_t l_ll_WaitUs = l_ll_Next - l_ll_After;
        if (l_ll_WaitUs < 0) {
            l_ll_WaitUs = 0;
        }
        const int l_i_WaitMs = static_cast<int>((l_ll_WaitUs + 999) / 1000);
        if (poll(l_x_Polls.data(), l_x_Polls.size(), l_i_WaitMs) < 0 && errno != EINTR) {
            Log("poll: %s", strerror(errno));
            return 1;
        }
        for (size_t l_st_Index = 0; l_st_Index < l_x_Polled.size(); ++l_st_Index) {
            const short l_s_Got = l_x_Polls[1 + l_x_Controls.size() + l_st_Index].revents;
            if (l_s_Got & POLLIN) {
                ReadPty(*l_x_Polled[l_st_Index]);
            }
        }
        for (size_t l_st_Index = 0; l_st_Index < l_x_Controls.size();) {
            SControl& l_x_Control = l_x_Controls[l_st_Index];
            bool l_b_Closed = false;
            if (l_x_Polls[1 + l_st_Index].revents & (POLLIN | POLLHUP | POLLERR)) {
                char l_ac_Buffer[4096];
                const ssize_t l_ss_Read =
                    read(l_x_Control.m_i_Fd, l_ac_Buffer, sizeof(l_ac_Buffer));
                if (l_ss_Read <= 0) {
                    l_b_Closed = true;
                } else {
                    l_x_Control.m_x_In.append(l_ac_Buffer, static_cast<size_t>(l_ss_Read));
                }
            }
            size_t l_st_End;
            while ((l_st_End = l_x_Control.m_x_In.find('\n')) != std::string::npos) {
                std::string l_x_Line = l_x_Control.m_x_In.substr(0, l_st_End);
                l_x_Control.m_x_In.erase(0, l_st_End + 1);
                if (!l_x_Line.empty() && l_x_Line.back() == '\r') {
                    l_x_Line.pop_back();
                }
                const std::string l_x_Answer = RunCommand(l_x_Line) + "\n";
                if (write(l_x_Control.m_i_Fd, l_x_Answer.data(), l_x_Answer.size()) < 0) {
                    l_b_Closed = true;
                    break;
                }
            }
            if (l_b_Closed) {
                close(l_x_Control.m_i_Fd);
                l_x_Controls.erase(l_x_Controls.begin() + static_cast<ptrdiff_t>(l_st_Index));
                // The poll results of later controls no longer line up; they come back next turn.
                break;
            }
            ++l_st_Index;
        }
        if (l_x_Polls[0].revents & POLLIN) {
            const int l_i_Client = accept(i_i_Listen, nullptr, nullptr);
            if (l_i_Client >= 0) {
                const int l_i_One = 1;
                setsockopt(l_i_Client, IPPROTO_TCP, TCP_NODELAY, &l_i_One, sizeof(l_i_One));
                l_x_Controls.push_back({l_i_Client, std::string()});
            }
        }
    }
    for (auto& l_x_Entry : g_x_Sensors) {
        Unplug(*l_x_Entry.second);
    }
    Log("simulator stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int l_i_ControlPort = 0;
    std::string l_x_PortFile;
    std::vector<std::string> l_x_Sensors;
    const char* l_pc_Prefix = getenv("WINEPREFIX");
    g_x_WinePrefix = l_pc_Prefix != nullptr ? l_pc_Prefix : "";
    for (int l_i_Arg = 1; l_i_Arg < argc; ++l_i_Arg) {
        const std::string l_x_Arg = argv[l_i_Arg];
        const bool l_b_HasValue = l_i_Arg + 1 < argc;
        if (l_x_Arg == "--help" || l_x_Arg == "-h") {
            fputs(g_ac_Usage, stdout);
            return 0;
        }
        if (l_x_Arg == "--send" && l_b_HasValue) {
            std::string l_x_Command;
            for (int l_i_Word = l_i_Arg + 2; l_i_Word < argc; ++l_i_Word) {
                l_x_Command += (l_x_Command.empty() ? "" : " ") + std::string(argv[l_i_Word]);
            }
            return SendOne(atoi(argv[l_i_Arg + 1]), l_x_Command);
        }
        if (!l_b_HasValue) {
            if (l_x_Arg == "--quiet") {
                g_b_Quiet = true;
                continue;
            }
            fprintf(stderr, "tulvo_sensorsim: unknown or incomplete option %s (see --help)\n",
                    l_x_Arg.c_str());
            return 1;
        }
        const std::string l_x_Value = argv[l_i_Arg + 1];
        if (l_x_Arg == "--quiet") {
            g_b_Quiet = true;
            continue;
        }
        ++l_i_Arg;
        if (l_x_Arg == "--sensor") {
            l_x_Sensors.push_back(l_x_Value);
        } else if (l_x_Arg == "--control-port") {
            l_i_ControlPort = atoi(l_x_Value.c_str());
        } else if (l_x_Arg == "--port-file") {
            l_x_PortFile = l_x_Value;
        } else if (l_x_Arg == "--wineprefix") {
            g_x_WinePrefix = l_x_Value;
        } else if (l_x_Arg == "--devtree") {
            g_x_DevTree = l_x_Value;
        } else if (l_x_Arg == "--wine") {
            g_x_Wine = l_x_Value;
        } else if (l_x_Arg == "--vidpid") {
            g_x_VidPid = l_x_Value;
        } else if (l_x_Arg == "--log") {
            FILE* l_px_File = fopen(l_x_Value.c_str(), "a");
            if (l_px_File == nullptr) {
                fprintf(stderr, "tulvo_sensorsim: %s: %s\n", l_x_Value.c_str(), strerror(errno));
                return 1;
            }
            g_px_Log = l_px_File;
        } else {
            fprintf(stderr, "tulvo_sensorsim: unknown option %s (see --help)\n", l_x_Arg.c_str());
            return 1;
        }
    }
    if (g_x_WinePrefix.empty()) {
        fprintf(stderr, "tulvo_sensorsim: no wine prefix (set WINEPREFIX or --wineprefix)\n");
        return 1;
    }
    mkdir((g_x_WinePrefix + "/dosdevices").c_str(), 0755);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    for (const std::string& l_x_Spec : l_x_Sensors) {
        std::string l_x_Line = "add";
        std::istringstream l_x_Parts(l_x_Spec);
        for (std::string l_x_Part; std::getline(l_x_Parts, l_x_Part, ':');) {
            l_x_Line += " " + l_x_Part;
        }
        const std::string l_x_Answer = RunCommand(l_x_Line);
        if (l_x_Answer.compare(0, 2, "ok") != 0) {
            fprintf(stderr, "tulvo_sensorsim: --sensor %s: %s\n", l_x_Spec.c_str(),
                    l_x_Answer.c_str());
            return 1;
        }
    }
    const int l_i_Listen = OpenControl(l_i_ControlPort, l_x_PortFile);
    if (l_i_Listen < 0) {
        return 1;
    }
    return RunLoop(l_i_Listen);
}
