// tulvo_cli: lists the sensors of a running VEK USB Service, exchanges frames with one of them,
// follows its real-time log, restarts it, and reads or switches the service's own settings.
// One command per run; the exit code is 0 or the status of the call that failed.
#include "device/link/Ilv.h"
#include "ipc/client/Client.h"
#include "ipc/client/TulvoCli.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/PipeLocks.h"
#include "ipc/protocol/TulvoStatus.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

namespace {

const char g_ac_Usage[] =
    "tulvo_cli - talk to a running VEK USB Service: list its sensors, exchange frames with\n"
    "one of them, follow its real-time log, restart it, read the service's version and\n"
    "switch its trace log.\n"
    "\n"
    "Usage: tulvo_cli [OPTIONS] COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  list                    the sensors the service has opened, one per line,\n"
    "                          tab-separated: serial number, port, name, instance id\n"
    "  version                 the service's version\n"
    "  locks                   the pipe locks held right now, one per line, tab-separated:\n"
    "                          serial number, pipe, process id of the holder, how long\n"
    "                          it has held it (a holder that ended still shows until the\n"
    "                          next client takes the lock over)\n"
    "  channels                the private channels in use, as a count per client process:\n"
    "                          process id, channels (at most 32 a process, 100 in all)\n"
    "  log on|off              switch the service's trace log now\n"
    "  log on-next-start|off-next-start\n"
    "                          create or delete the trace log's marker file, so that\n"
    "                          logging is on (or off) from the service's next start\n"
    "  exchange SERIAL HEX     send one frame to the sensor with that serial number and\n"
    "                          print its answer, decoded as an ILV record; the sensor is\n"
    "                          locked for this program during the exchange\n"
    "  watch SERIAL            print the sensor's real-time log frames as they come, one\n"
    "                          line each, until Ctrl+C (or --count frames)\n"
    "  reboot SERIAL HEX       send the frame that restarts the sensor and wait until it\n"
    "                          has left and come back (see --reboot-wait)\n"
    "\n"
    "HEX is a whole frame, one ILV record: identifier, length, value, as hexadecimal bytes,\n"
    "written together or apart (800000, \"80 00 00\", 80:00:00 are the same frame).\n"
    "\n"
    "Options:\n"
    "  --timeout MS            time-out of each step of a command (default 5000)\n"
    "  --reboot-wait MS        how long reboot waits for the sensor (default 30000)\n"
    "  --count N               watch: stop after N frames\n"
    "  --server NAME           base name of the service's channel (default VEK_TulvoServer);\n"
    "                          only test set-ups with a stand-in service need another one\n"
    "  --help                  this text\n"
    "\n"
    "Exit codes: 0 done; 1 usage; otherwise the (negative) status of the call that failed,\n"
    "named in the message: TULVO_TS_SERVER_NOT_RUNNING (-422) when no service runs,\n"
    "TULVO_DEVICE_NOT_PRESENT (-403) for a serial number the service does not know,\n"
    "TULVO_TIMEOUT (-553) when the sensor did not answer in time.\n"
    "\n"
    "Examples:\n"
    "  tulvo_cli list\n"
    "  tulvo_cli exchange SN0001 800000        ask sensor SN0001 for its serial number\n"
    "  tulvo_cli --count 10 watch SN0001\n"
    "  tulvo_cli locks                         who holds which sensor's pipes\n"
    "  tulvo_cli log on\n";

const uint32_t CLI_WATCH_POLL_MS = 1000;

volatile LONG g_l_Stop = 0;

BOOL WINAPI OnConsoleControl(DWORD i_ul_Event) {
    if (i_ul_Event == CTRL_C_EVENT || i_ul_Event == CTRL_BREAK_EVENT) {
        InterlockedExchange(&g_l_Stop, 1);
        return TRUE;
    }
    return FALSE;
}

struct SOptions {
    uint32_t m_ul_TimeOut = 5000;
    uint32_t m_ul_RebootWait = 30000;
    uint32_t m_ul_Count = 0; // 0: no limit
    std::string m_x_Server;
    std::vector<std::string> m_ax_Words;
};

int Usage(const std::string& i_x_Problem) {
    fprintf(stderr, "tulvo_cli: %s\nRun tulvo_cli --help for the commands.\n", i_x_Problem.c_str());
    return 1;
}

// The status of a call that failed, named, with what a person can do about the usual ones.
int Failed(const std::string& i_x_What, int32_t i_i_Status) {
    fprintf(stderr, "tulvo_cli: %s failed: %s (%d)", i_x_What.c_str(), TulvoStatus_Name(i_i_Status),
            static_cast<int>(i_i_Status));
    if (i_i_Status == TULVO_TS_SERVER_NOT_RUNNING) {
        fprintf(stderr, "; is the service running?");
    } else if (i_i_Status == TULVO_DEVICE_NOT_PRESENT) {
        fprintf(stderr, "; tulvo_cli list shows the sensors the service knows");
    } else if (i_i_Status == TULVO_SERVER_TOO_OLD ||
               (i_i_Status == TULVO_BAD_PARAMETER &&
                (i_x_What == "locks" || i_x_What == "channels"))) {
        fprintf(stderr, "; the service needs an update");
    }
    fprintf(stderr, "\n");
    return i_i_Status;
}

bool ParseNumber(const std::string& i_x_Text, uint32_t* o_pul_Value) {
    if (i_x_Text.empty()) {
        return false;
    }
    char* l_pc_End = nullptr;
    const unsigned long long l_ull_Value = strtoull(i_x_Text.c_str(), &l_pc_End, 0);
    if (*l_pc_End != '\0' || l_ull_Value > 0xFFFFFFFFull || i_x_Text[0] == '-') {
        return false;
    }
    *o_pul_Value = static_cast<uint32_t>(l_ull_Value);
    return true;
}

int HexDigit(char i_c) {
    if (i_c >= '0' && i_c <= '9') {
        return i_c - '0';
    }
    if (i_c >= 'a' && i_c <= 'f') {
        return i_c - 'a' + 10;
    }
    if (i_c >= 'A' && i_c <= 'F') {
        return i_c - 'A' + 10;
    }
    return -1;
}

// Hexadecimal bytes from the words from i_ul_First on; separators: space, ':', '-', ','.
bool ParseHex(const std::vector<std::string>& i_ax_Words, size_t i_ul_First,
              std::vector<uint8_t>* o_px_Bytes) {
    std::string l_x_Digits;
    for (size_t l_ul_Index = i_ul_First; l_ul_Index < i_ax_Words.size(); ++l_ul_Index) {
        for (char l_c : i_ax_Words[l_ul_Index]) {
            if (HexDigit(l_c) >= 0) {
                l_x_Digits += l_c;
            } else if (l_c != ' ' && l_c != ':' && l_c != '-' && l_c != ',') {
                return false;
            }
        }
    }
    if (l_x_Digits.empty() || l_x_Digits.size() % 2 != 0) {
        return false;
    }
    o_px_Bytes->clear();
    for (size_t l_ul_Index = 0; l_ul_Index < l_x_Digits.size(); l_ul_Index += 2) {
        o_px_Bytes->push_back(static_cast<uint8_t>(HexDigit(l_x_Digits[l_ul_Index]) * 16 +
                                                   HexDigit(l_x_Digits[l_ul_Index + 1])));
    }
    return true;
}

std::string Hex(const uint8_t* i_puc_Bytes, uint32_t i_ul_Length) {
    std::string l_x_Text;
    char l_ac_Byte[4];
    for (uint32_t l_ul_Index = 0; l_ul_Index < i_ul_Length; ++l_ul_Index) {
        snprintf(l_ac_Byte, sizeof(l_ac_Byte), l_ul_Index == 0 ? "%02X" : " %02X",
                 i_puc_Bytes[l_ul_Index]);
        l_x_Text += l_ac_Byte;
    }
    return l_x_Text;
}

// "identifier 0x0F00, 3 value bytes: 01 02 03", or why the frame is no ILV record.
std::string DescribeFrame(const uint8_t* i_puc_Frame, uint32_t i_ul_Length) {
    const int32_t l_i_Check = ILV_Check(i_puc_Frame, i_ul_Length);
    if (l_i_Check != TULVO_OK) {
        return std::string("not one ILV record (") + TulvoStatus_Name(l_i_Check) +
               "): " + Hex(i_puc_Frame, i_ul_Length);
    }
    char l_ac_Head[64];
    const uint32_t l_ul_ValueLength = ILV_GetLength(i_puc_Frame);
    snprintf(l_ac_Head, sizeof(l_ac_Head), "identifier 0x%04X, %u value bytes",
             ILV_GetIdentifier(i_puc_Frame), static_cast<unsigned>(l_ul_ValueLength));
    std::string l_x_Text = l_ac_Head;
    if (l_ul_ValueLength > 0) {
        l_x_Text += ": " + Hex(ILV_GetValue(i_puc_Frame), l_ul_ValueLength);
    }
    return l_x_Text;
}

const char* Text(const unsigned char* i_puc_Text) {
    return i_puc_Text != nullptr ? reinterpret_cast<const char*>(i_puc_Text) : "";
}

int RunList() {
    TulvoCli_DeviceProperties* l_px_List = nullptr;
    uint32_t l_ul_Count = 0;
    const int32_t l_i_Status = TulvoCli_EnumDevices(&l_px_List, &l_ul_Count);
    if (l_i_Status != TULVO_OK) {
        return Failed("list", l_i_Status);
    }
    if (l_ul_Count == 0) {
        printf("no sensor\n");
    }
    for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
        const TulvoCli_DeviceProperties& l_x_Device = l_px_List[l_ul_Index];
        printf("%s\t%s\t%s\t%s\n", Text(l_x_Device.m_puc_SerialNumber),
               Text(l_x_Device.m_puc_DevicePath), Text(l_x_Device.m_puc_FriendlyName),
               Text(l_x_Device.m_puc_InstanceId));
    }
    TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);
    return 0;
}

int RunServerInfos(uint32_t i_ul_InfoType, uint32_t i_ul_Value, const std::string& i_x_What) {
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    const int32_t l_i_Status =
        TulvoCli_GetServerInfos(i_ul_InfoType, i_ul_Value, &l_puc_Data, &l_ul_Length);
    if (l_i_Status != TULVO_OK) {
        TulvoCli_FreeBuffer(&l_puc_Data);
        return Failed(i_x_What, l_i_Status);
    }
    if (i_ul_InfoType == TULVOCLI_INFO_VERSION) {
        // The text comes from another process: never past its length.
        printf("%.*s\n",
               static_cast<int>(strnlen(reinterpret_cast<const char*>(l_puc_Data), l_ul_Length)),
               reinterpret_cast<const char*>(l_puc_Data));
    } else {
        printf("%s: done\n", i_x_What.c_str());
    }
    TulvoCli_FreeBuffer(&l_puc_Data);
    return 0;
}

int RunLocks() {
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    int32_t l_i_Status =
        TulvoCli_GetServerInfos(TULVOCLI_INFO_PIPELOCKS, 0, &l_puc_Data, &l_ul_Length);
    GestIpc_PipeLock* l_px_Locks = nullptr;
    uint32_t l_ul_Count = 0;
    if (l_i_Status == TULVO_OK) {
        l_i_Status = GestIpc_DecodePipeLocks(l_puc_Data, l_ul_Length, &l_px_Locks, &l_ul_Count);
    }
    TulvoCli_FreeBuffer(&l_puc_Data);
    if (l_i_Status != TULVO_OK) {
        return Failed("locks", l_i_Status);
    }
    if (l_ul_Count == 0) {
        printf("no pipe lock held\n");
    }
    for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
        const GestIpc_PipeLock& l_x_Lock = l_px_Locks[l_ul_Index];
        printf("%s\tpipe %u\tprocess %u\theld %s%u ms\n", l_x_Lock.m_ac_SerialNumber,
               static_cast<unsigned>(l_x_Lock.m_ul_PipeIndex),
               static_cast<unsigned>(l_x_Lock.m_ul_ProcessId),
               l_x_Lock.m_ul_HeldMs == PIPELOCKS_HELD_MS_MAX ? "over " : "",
               static_cast<unsigned>(l_x_Lock.m_ul_HeldMs));
    }
    GestIpc_FreeBuffer(l_px_Locks);
    return 0;
}

int RunChannels() {
    uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_Length = 0;
    int32_t l_i_Status =
        TulvoCli_GetServerInfos(TULVOCLI_INFO_CHANNELS, 0, &l_puc_Data, &l_ul_Length);
    const uint32_t l_ul_Count =
        l_i_Status == TULVO_OK && l_ul_Length >= 4 ? GestIpc_GetU32(l_puc_Data) : 0;
    if (l_i_Status == TULVO_OK && (l_ul_Length < 4 || (l_ul_Length - 4) / 4 < l_ul_Count)) {
        l_i_Status = TULVO_BAD_IPC_FORMAT;
    }
    std::map<uint32_t, uint32_t> l_x_PerProcess;
    for (uint32_t l_ul_Index = 0; l_i_Status == TULVO_OK && l_ul_Index < l_ul_Count; ++l_ul_Index) {
        ++l_x_PerProcess[GestIpc_GetU32(l_puc_Data + 4 * (1 + l_ul_Index))];
    }
    TulvoCli_FreeBuffer(&l_puc_Data);
    if (l_i_Status != TULVO_OK) {
        return Failed("channels", l_i_Status);
    }
    printf("%u channels in use\n", static_cast<unsigned>(l_ul_Count));
    for (const auto& l_x_Process : l_x_PerProcess) {
        printf("process %u\t%u\n", static_cast<unsigned>(l_x_Process.first),
               static_cast<unsigned>(l_x_Process.second));
    }
    return 0;
}

int RunLog(const SOptions& i_x_Options) {
    static const struct {
        const char* m_pc_Word;
        uint32_t m_ul_Value;
    } s_ax_Switches[] = {{"on", TULVOCLI_LOG_ON},
                         {"off", TULVOCLI_LOG_OFF},
                         {"on-next-start", TULVOCLI_LOG_ON_AT_NEXT_START},
                         {"off-next-start", TULVOCLI_LOG_OFF_AT_NEXT_START}};
    if (i_x_Options.m_ax_Words.size() == 2) {
        for (const auto& l_x_Switch : s_ax_Switches) {
            if (i_x_Options.m_ax_Words[1] == l_x_Switch.m_pc_Word) {
                return RunServerInfos(TULVOCLI_INFO_LOG, l_x_Switch.m_ul_Value,
                                      "log " + i_x_Options.m_ax_Words[1]);
            }
        }
    }
    return Usage("log takes on, off, on-next-start or off-next-start");
}

// Connects to the sensor named by the command's first argument.
int32_t ConnectTo(const SOptions& i_x_Options, TulvoCli_Connection** o_ppx_Connection) {
    const int32_t l_i_Status =
        TulvoCli_Connect(o_ppx_Connection, i_x_Options.m_ax_Words[1].c_str());
    if (l_i_Status != TULVO_OK) {
        Failed("connecting to " + i_x_Options.m_ax_Words[1], l_i_Status);
    }
    return l_i_Status;
}

int RunFrameCommand(const SOptions& i_x_Options, bool i_b_Reboot) {
    const std::string& l_x_Command = i_x_Options.m_ax_Words[0];
    std::vector<uint8_t> l_x_Frame;
    if (i_x_Options.m_ax_Words.size() < 3 || !ParseHex(i_x_Options.m_ax_Words, 2, &l_x_Frame)) {
        return Usage(l_x_Command + " needs SERIAL and a frame in hexadecimal bytes");
    }
    TulvoCli_Connection* l_px_Connection = nullptr;
    int32_t l_i_Status = ConnectTo(i_x_Options, &l_px_Connection);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    if (i_b_Reboot) {
        printf("restarting %s...\n", i_x_Options.m_ax_Words[1].c_str());
        fflush(stdout);
        l_i_Status = TulvoCli_WaitForReboot(
            l_px_Connection, i_x_Options.m_ul_TimeOut, l_x_Frame.data(),
            static_cast<uint32_t>(l_x_Frame.size()), i_x_Options.m_ul_RebootWait);
        if (l_i_Status == TULVO_OK) {
            printf("%s is back\n", i_x_Options.m_ax_Words[1].c_str());
        }
    } else {
        uint8_t* l_puc_Answer = nullptr;
        uint32_t l_ul_AnswerLength = 0;
        l_i_Status = TulvoCli_Exchange(l_px_Connection, i_x_Options.m_ul_TimeOut, l_x_Frame.data(),
                                       static_cast<uint32_t>(l_x_Frame.size()), &l_puc_Answer,
                                       &l_ul_AnswerLength);
        if (l_i_Status == TULVO_OK) {
            printf("answer: %s\n", Hex(l_puc_Answer, l_ul_AnswerLength).c_str());
            printf("        %s\n", DescribeFrame(l_puc_Answer, l_ul_AnswerLength).c_str());
        }
        TulvoCli_FreeBuffer(&l_puc_Answer);
    }
    TulvoCli_Disconnect(&l_px_Connection);
    return l_i_Status == TULVO_OK ? 0 : Failed(l_x_Command, l_i_Status);
}

int RunWatch(const SOptions& i_x_Options) {
    if (i_x_Options.m_ax_Words.size() != 2) {
        return Usage("watch needs SERIAL");
    }
    TulvoCli_Connection* l_px_Connection = nullptr;
    int32_t l_i_Status = ConnectTo(i_x_Options, &l_px_Connection);
    if (l_i_Status != TULVO_OK) {
        return l_i_Status;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    uint32_t l_ul_Frames = 0;
    while (InterlockedCompareExchange(&g_l_Stop, 0, 0) == 0 &&
           (i_x_Options.m_ul_Count == 0 || l_ul_Frames < i_x_Options.m_ul_Count)) {
        uint8_t* l_puc_Frame = nullptr;
        uint32_t l_ul_Length = 0;
        l_i_Status = TulvoCli_ReceiveRealTimeLog(l_px_Connection, CLI_WATCH_POLL_MS, &l_puc_Frame,
                                                 &l_ul_Length);
        if (l_i_Status == TULVO_OK) {
            SYSTEMTIME l_x_Now;
            GetLocalTime(&l_x_Now);
            printf("%02u:%02u:%02u.%03u %s\n", l_x_Now.wHour, l_x_Now.wMinute, l_x_Now.wSecond,
                   l_x_Now.wMilliseconds, DescribeFrame(l_puc_Frame, l_ul_Length).c_str());
            fflush(stdout);
            ++l_ul_Frames;
        }
        TulvoCli_FreeBuffer(&l_puc_Frame);
        // No frame within the poll interval is the quiet state of a sensor, not a failure.
        if (l_i_Status == TULVO_TIMEOUT) {
            l_i_Status = TULVO_OK;
        }
        if (l_i_Status != TULVO_OK) {
            break;
        }
    }
    TulvoCli_Disconnect(&l_px_Connection);
    return l_i_Status == TULVO_OK ? 0 : Failed("watch", l_i_Status);
}

// Returns 0 when the options are understood, else the usage exit code (already reported).
int ParseArguments(int i_i_Argc, char** i_ppc_Argv, SOptions* o_px_Options) {
    for (int l_i_Index = 1; l_i_Index < i_i_Argc; ++l_i_Index) {
        const std::string l_x_Word = i_ppc_Argv[l_i_Index];
        if (l_x_Word.size() < 3 || l_x_Word.compare(0, 2, "--") != 0) {
            o_px_Options->m_ax_Words.push_back(l_x_Word);
            continue;
        }
        if (l_x_Word == "--help") {
            continue;
        }
        if (l_i_Index + 1 >= i_i_Argc) {
            return Usage(l_x_Word + " needs a value");
        }
        const std::string l_x_Value = i_ppc_Argv[++l_i_Index];
        uint32_t* l_pul_Target = nullptr;
        if (l_x_Word == "--timeout") {
            l_pul_Target = &o_px_Options->m_ul_TimeOut;
        } else if (l_x_Word == "--reboot-wait") {
            l_pul_Target = &o_px_Options->m_ul_RebootWait;
        } else if (l_x_Word == "--count") {
            l_pul_Target = &o_px_Options->m_ul_Count;
        } else if (l_x_Word == "--server") {
            o_px_Options->m_x_Server = l_x_Value;
            continue;
        } else {
            return Usage("unknown option " + l_x_Word);
        }
        if (!ParseNumber(l_x_Value, l_pul_Target)) {
            return Usage(l_x_Word + " takes a number");
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    for (int l_i_Index = 1; l_i_Index < argc; ++l_i_Index) {
        if (strcmp(argv[l_i_Index], "--help") == 0 || strcmp(argv[l_i_Index], "-h") == 0 ||
            strcmp(argv[l_i_Index], "/?") == 0) {
            fputs(g_ac_Usage, stdout);
            return 0;
        }
    }
    SOptions l_x_Options;
    const int l_i_Usage = ParseArguments(argc, argv, &l_x_Options);
    if (l_i_Usage != 0) {
        return l_i_Usage;
    }
    if (l_x_Options.m_ax_Words.empty()) {
        return Usage("no command");
    }
    if (!l_x_Options.m_x_Server.empty()) {
        Client_SetPublicBaseName(l_x_Options.m_x_Server.c_str());
    }
    const std::string& l_x_Command = l_x_Options.m_ax_Words[0];
    const size_t l_ul_Words = l_x_Options.m_ax_Words.size();
    if (l_x_Command == "list" && l_ul_Words == 1) {
        return RunList();
    }
    if (l_x_Command == "version" && l_ul_Words == 1) {
        return RunServerInfos(TULVOCLI_INFO_VERSION, 0, "version");
    }
    if (l_x_Command == "locks" && l_ul_Words == 1) {
        return RunLocks();
    }
    if (l_x_Command == "channels" && l_ul_Words == 1) {
        return RunChannels();
    }
    if (l_x_Command == "log") {
        return RunLog(l_x_Options);
    }
    if (l_x_Command == "exchange" || l_x_Command == "reboot") {
        return RunFrameCommand(l_x_Options, l_x_Command == "reboot");
    }
    if (l_x_Command == "watch") {
        return RunWatch(l_x_Options);
    }
    if (l_x_Command == "list" || l_x_Command == "version" || l_x_Command == "locks" ||
        l_x_Command == "channels") {
        return Usage(l_x_Command + " takes no argument");
    }
    return Usage("unknown command " + l_x_Command);
}
