// tulvo_standin: a scripted stand-in for the service's channel servers, for the client
// library's tests of what a real service never does. It listens on a public channel with the
// real transport, gives out private channels, writes every request it receives to a log (so
// that tests check what the client sent, byte for byte) and answers like a service whose
// sensors echo every frame, unless a rule of the script says otherwise: answers a real service
// never sends, a service left stopping with its objects still held.
//
//   tulvo_standin --name BASE [--log FILE] [--version TEXT | --version-hex HEX]
//                 [--device INSTANCE|SERIAL|NAME|PORT]... [--on RULE]...
//
// RULE is COMMAND[#N]=ACTION[,ACTION...]: the N-th request of that command (counted over
// every channel from 1; every one without #N), COMMAND as the service's trace names it
// (LOCKPIPE, RECVBUFFER, CREATEPRIVATECHANNEL, ...). ACTIONs, in order:
//   stop         reset the public Running event (the service is stopping)
//   status:S     answer with status S (decimal) and no data
//   raw:HEX      answer exactly these bytes
//   echo:HH      answer as usual, but with HH as the echoed command byte
//   sleep:MS     answer MS milliseconds later
// Log lines: "<channel> <request in hex>", "<channel> open|closed|lost"; channels are "pub",
// "p1", "p2"... Prints "ready" once it listens.
#include "ipc/protocol/DeviceList.h"
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "ipc/toolshare/ToolShare.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

struct SRule {
    std::string m_x_Command;
    uint32_t m_ul_Nth = 0;
    std::vector<std::string> m_ax_Actions;
};

struct SStandIn {
    ToolShare_Param m_x_Param = {nullptr, TOOLSHARE_DEFAULT_SECTION_SIZE};
    ToolShare_Channel m_x_Public = {};
    FILE* m_px_Log = nullptr;
    std::mutex m_x_Lock; // log, counters
    Bytes m_x_Version;
    std::vector<std::string> m_ax_DeviceTexts; // four per device
    std::vector<SRule> m_ax_Rules;
    std::map<std::string, uint32_t> m_x_Counts;
    int m_i_Channels = 0;
};

SStandIn g_x_StandIn;

std::string Hex(const uint8_t* i_puc_Bytes, size_t i_ul_Length) {
    static const char s_ac_Digits[] = "0123456789ABCDEF";
    std::string l_x_Text;
    for (size_t l_ul_Index = 0; l_ul_Index < i_ul_Length; ++l_ul_Index) {
        l_x_Text += s_ac_Digits[i_puc_Bytes[l_ul_Index] >> 4];
        l_x_Text += s_ac_Digits[i_puc_Bytes[l_ul_Index] & 15];
    }
    return l_x_Text;
}

Bytes ParseHex(const std::string& i_x_Text) {
    Bytes l_x_Bytes;
    for (size_t l_ul_Index = 0; l_ul_Index + 1 < i_x_Text.size(); l_ul_Index += 2) {
        l_x_Bytes.push_back(
            static_cast<uint8_t>(strtoul(i_x_Text.substr(l_ul_Index, 2).c_str(), nullptr, 16)));
    }
    return l_x_Bytes;
}

void Log(const std::string& i_x_Line) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_StandIn.m_x_Lock);
    if (g_x_StandIn.m_px_Log != nullptr) {
        fprintf(g_x_StandIn.m_px_Log, "%s\n", i_x_Line.c_str());
        fflush(g_x_StandIn.m_px_Log);
    }
}

// The actions for this request of the command, counting it.
std::vector<std::string> ActionsFor(const std::string& i_x_Command) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_StandIn.m_x_Lock);
    const uint32_t l_ul_Nth = ++g_x_StandIn.m_x_Counts[i_x_Command];
    for (const SRule& l_x_Rule : g_x_StandIn.m_ax_Rules) {
        if (l_x_Rule.m_x_Command == i_x_Command &&
            (l_x_Rule.m_ul_Nth == 0 || l_x_Rule.m_ul_Nth == l_ul_Nth)) {
            return l_x_Rule.m_ax_Actions;
        }
    }
    return {};
}

int32_t ReadMessage(ToolShare_Channel* io_px_Channel, Bytes* o_px_Message) {
    int32_t l_i_Status = ToolShare_WaitData(io_px_Channel, nullptr, INFINITE);
    uint32_t l_ul_Length = 0;
    if (l_i_Status == TULVO_OK) {
        l_i_Status = ToolShare_ReadLenData(io_px_Channel, &l_ul_Length, nullptr, 10000);
    }
    if (l_i_Status == TULVO_OK) {
        o_px_Message->assign(l_ul_Length, 0);
        l_i_Status =
            ToolShare_ReadData(io_px_Channel, o_px_Message->data(), l_ul_Length, nullptr, 10000);
    }
    return l_i_Status;
}

Bytes TakeResponse(uint8_t* i_puc_Response, uint32_t i_ul_Length) {
    Bytes l_x_Response(i_puc_Response, i_puc_Response + i_ul_Length);
    GestIpc_FreeBuffer(i_puc_Response);
    return l_x_Response;
}

Bytes StatusResponse(const Bytes& i_x_Request, int32_t i_i_Status) {
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    GestIpc_AllocStatusResponse(i_x_Request.data(), static_cast<uint32_t>(i_x_Request.size()),
                                &l_puc_Response, &l_ul_Length, i_i_Status);
    return TakeResponse(l_puc_Response, l_ul_Length);
}

Bytes DataResponse(const Bytes& i_x_Request, int32_t i_i_Status, const Bytes& i_x_Data) {
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    GestIpc_AllocDataResponse(i_x_Request.data(), static_cast<uint32_t>(i_x_Request.size()),
                              &l_puc_Response, &l_ul_Length, i_i_Status, i_x_Data.data(),
                              static_cast<uint32_t>(i_x_Data.size()));
    return TakeResponse(l_puc_Response, l_ul_Length);
}

// What the rules make of the usual answer.
void ApplyActions(const std::vector<std::string>& i_ax_Actions, const Bytes& i_x_Request,
                  bool i_b_DataCommand, Bytes* io_px_Response) {
    for (const std::string& l_x_Action : i_ax_Actions) {
        const std::string l_x_Value = l_x_Action.substr(l_x_Action.find(':') + 1);
        if (l_x_Action == "stop") {
            ResetEvent(g_x_StandIn.m_x_Public.m_h_Running);
        } else if (l_x_Action.compare(0, 7, "status:") == 0) {
            const int32_t l_i_Status = static_cast<int32_t>(strtol(l_x_Value.c_str(), nullptr, 10));
            *io_px_Response = i_b_DataCommand ? DataResponse(i_x_Request, l_i_Status, Bytes())
                                              : StatusResponse(i_x_Request, l_i_Status);
        } else if (l_x_Action.compare(0, 4, "raw:") == 0) {
            *io_px_Response = ParseHex(l_x_Value);
        } else if (l_x_Action.compare(0, 6, "sleep:") == 0) {
            Sleep(static_cast<DWORD>(strtoul(l_x_Value.c_str(), nullptr, 10)));
        } else if (l_x_Action.compare(0, 5, "echo:") == 0 && io_px_Response->size() >= 3) {
            (*io_px_Response)[2] = ParseHex(l_x_Value).at(0);
        }
    }
}

bool KnowsDevice(const char* i_pc_Serial) {
    for (size_t l_ul_Index = 1; l_ul_Index < g_x_StandIn.m_ax_DeviceTexts.size(); l_ul_Index += 4) {
        if (g_x_StandIn.m_ax_DeviceTexts[l_ul_Index] == i_pc_Serial) {
            return true;
        }
    }
    return false;
}

// One private channel: the device behind it echoes every frame sent to it.
void ServePrivate(ToolShare_Channel* io_px_Channel, const std::string& i_x_Name) {
    std::deque<Bytes> l_x_Mailbox;
    for (;;) {
        Bytes l_x_Request;
        if (ReadMessage(io_px_Channel, &l_x_Request) != TULVO_OK) {
            Log(i_x_Name + " lost");
            break;
        }
        Log(i_x_Name + " " + Hex(l_x_Request.data(), l_x_Request.size()));
        GestIpc_PrivateRequest l_x_Fields;
        const int32_t l_i_Valid = GestIpcPrivate_ReadRequest(
            l_x_Request.data(), static_cast<uint32_t>(l_x_Request.size()), &l_x_Fields);
        const uint32_t l_ul_Command = l_x_Fields.m_ul_Command;
        Bytes l_x_Response = StatusResponse(l_x_Request, TULVO_OK);
        if (l_i_Valid != TULVO_OK) {
            l_x_Response = StatusResponse(l_x_Request, TULVO_BAD_IPC_FORMAT);
        } else if (l_ul_Command == BYTE2_LINKPRIVATECONX) {
            if (l_x_Fields.m_ul_PipeIndex > 2) {
                l_x_Response = StatusResponse(l_x_Request, TULVO_BAD_PARAMETER);
            } else if (!KnowsDevice(l_x_Fields.m_pc_DeviceKey)) {
                l_x_Response = StatusResponse(l_x_Request, TULVO_DEVICE_NOT_PRESENT);
            }
        } else if (l_ul_Command == BYTE2_SENDBUFFER) {
            l_x_Mailbox.emplace_back(l_x_Fields.m_puc_Frame,
                                     l_x_Fields.m_puc_Frame + l_x_Fields.m_ul_FrameLength);
        } else if (l_ul_Command == BYTE2_RECVBUFFER) {
            if (!l_x_Mailbox.empty()) {
                l_x_Response = DataResponse(l_x_Request, TULVO_OK, l_x_Mailbox.front());
                l_x_Mailbox.pop_front();
            } else {
                l_x_Response = DataResponse(l_x_Request, TULVO_TIMEOUT, Bytes());
            }
        }
        ApplyActions(ActionsFor(GestIpcPrivate_CommandName(l_ul_Command)), l_x_Request,
                     l_ul_Command == BYTE2_RECVBUFFER, &l_x_Response);
        // Logged before the answer: a client that has its answer finds the line there.
        const bool l_b_Close = l_ul_Command == BYTE2_DESTROYCONX && l_i_Valid == TULVO_OK;
        if (l_b_Close) {
            Log(i_x_Name + " closed");
        }
        if (ToolShare_WriteLenDataAndData(io_px_Channel, l_x_Response.data(),
                                          static_cast<uint32_t>(l_x_Response.size()), nullptr,
                                          10000) != TULVO_OK) {
            Log(i_x_Name + " lost");
            break;
        }
        if (l_b_Close) {
            break;
        }
    }
    ToolShare_Close(io_px_Channel);
    delete io_px_Channel;
}

Bytes EnumResponse(const Bytes& i_x_Request) {
    std::vector<TulvoEnum_DeviceProperties> l_ax_Devices;
    const std::vector<std::string>& l_ax_Texts = g_x_StandIn.m_ax_DeviceTexts;
    for (size_t l_ul_Index = 0; l_ul_Index + 3 < l_ax_Texts.size(); l_ul_Index += 4) {
        auto l_f_Text = [&](size_t i_ul_Offset) {
            return reinterpret_cast<unsigned char*>(
                const_cast<char*>(l_ax_Texts[l_ul_Index + i_ul_Offset].c_str()));
        };
        l_ax_Devices.push_back({l_f_Text(0), l_f_Text(1), l_f_Text(2), l_f_Text(3)});
    }
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    GestIpcPublic_BuildEnumDeviceResponse(
        l_ax_Devices.data(), static_cast<uint32_t>(l_ax_Devices.size()), i_x_Request.data(),
        static_cast<uint32_t>(i_x_Request.size()), &l_puc_Response, &l_ul_Length);
    return TakeResponse(l_puc_Response, l_ul_Length);
}

void ServePublic() {
    ToolShare_Channel* l_px_Public = &g_x_StandIn.m_x_Public;
    for (;;) {
        Bytes l_x_Request;
        const int32_t l_i_Status = ReadMessage(l_px_Public, &l_x_Request);
        if (l_i_Status == TULVO_TS_SERVER_NOT_RUNNING) {
            // Reset by the stop action or by a test: served again once it is set.
            WaitForSingleObject(l_px_Public->m_h_Running, INFINITE);
            continue;
        }
        if (l_i_Status != TULVO_OK) {
            return;
        }
        Log("pub " + Hex(l_x_Request.data(), l_x_Request.size()));
        uint32_t l_ul_Command = 0;
        const bool l_b_Known =
            GestIpcPublic_GetCommande(l_x_Request.data(), static_cast<uint32_t>(l_x_Request.size()),
                                      &l_ul_Command) == TULVO_OK;
        Bytes l_x_Response = StatusResponse(l_x_Request, TULVO_BAD_IPC_FORMAT);
        if (l_b_Known && l_ul_Command == BYTE2_ENUMDEVICES) {
            l_x_Response = EnumResponse(l_x_Request);
        } else if (l_b_Known && l_ul_Command == BYTE2_SERVERINFOS) {
            uint32_t l_ul_Type = 0;
            uint32_t l_ul_Value = 0;
            GestIpcPublic_ReadServerInfos(l_x_Request.data(),
                                          static_cast<uint32_t>(l_x_Request.size()), &l_ul_Type,
                                          &l_ul_Value);
            l_x_Response = l_ul_Type > 1 ? DataResponse(l_x_Request, TULVO_BAD_PARAMETER, Bytes())
                           : l_ul_Type == 0
                               ? DataResponse(l_x_Request, TULVO_OK, g_x_StandIn.m_x_Version)
                               : DataResponse(l_x_Request, TULVO_OK, Bytes());
        }
        const std::vector<std::string> l_ax_Actions =
            ActionsFor(l_b_Known ? GestIpcPublic_CommandName(l_ul_Command) : "PUBLIC_IPC_UNKNOWN");
        if (l_b_Known && l_ul_Command == BYTE2_CREATEPRIVATECHANNEL && l_ax_Actions.empty()) {
            auto* l_px_Private = new ToolShare_Channel();
            if (ToolShareSrv_CreatePrivateConnect(
                    &g_x_StandIn.m_x_Param, l_px_Private, l_px_Public, l_x_Request.data(),
                    static_cast<uint32_t>(l_x_Request.size()), nullptr, 10000) != TULVO_OK) {
                delete l_px_Private;
                continue;
            }
            const std::string l_x_Name = "p" + std::to_string(++g_x_StandIn.m_i_Channels);
            Log(l_x_Name + " open");
            std::thread(ServePrivate, l_px_Private, l_x_Name).detach();
            continue;
        }
        ApplyActions(l_ax_Actions, l_x_Request, l_ul_Command == BYTE2_SERVERINFOS, &l_x_Response);
        ToolShare_WriteLenDataAndData(l_px_Public, l_x_Response.data(),
                                      static_cast<uint32_t>(l_x_Response.size()), nullptr, 10000);
    }
}

std::vector<std::string> Split(const std::string& i_x_Text, char i_c_Separator) {
    std::vector<std::string> l_ax_Parts;
    size_t l_ul_Start = 0;
    for (;;) {
        const size_t l_ul_End = i_x_Text.find(i_c_Separator, l_ul_Start);
        l_ax_Parts.push_back(i_x_Text.substr(l_ul_Start, l_ul_End - l_ul_Start));
        if (l_ul_End == std::string::npos) {
            return l_ax_Parts;
        }
        l_ul_Start = l_ul_End + 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string l_x_Name;
    g_x_StandIn.m_x_Version = {'1', '.', ' ', '5', '.', ' ', '0', '.', ' ', '0', 0};
    for (int l_i_Index = 1; l_i_Index < argc; ++l_i_Index) {
        const std::string l_x_Option = argv[l_i_Index];
        if (l_i_Index + 1 >= argc) {
            fprintf(stderr, "tulvo_standin: %s needs a value\n", l_x_Option.c_str());
            return 1;
        }
        const std::string l_x_Value = argv[++l_i_Index];
        if (l_x_Option == "--name") {
            l_x_Name = l_x_Value;
        } else if (l_x_Option == "--log") {
            g_x_StandIn.m_px_Log = fopen(l_x_Value.c_str(), "a");
        } else if (l_x_Option == "--version") {
            g_x_StandIn.m_x_Version.assign(l_x_Value.begin(), l_x_Value.end());
            g_x_StandIn.m_x_Version.push_back(0);
        } else if (l_x_Option == "--version-hex") {
            g_x_StandIn.m_x_Version = ParseHex(l_x_Value);
        } else if (l_x_Option == "--device") {
            std::vector<std::string> l_ax_Texts = Split(l_x_Value, '|');
            l_ax_Texts.resize(4);
            g_x_StandIn.m_ax_DeviceTexts.insert(g_x_StandIn.m_ax_DeviceTexts.end(),
                                                l_ax_Texts.begin(), l_ax_Texts.end());
        } else if (l_x_Option == "--on") {
            SRule l_x_Rule;
            const size_t l_ul_Equal = l_x_Value.find('=');
            const std::string l_x_Target = l_x_Value.substr(0, l_ul_Equal);
            const size_t l_ul_Hash = l_x_Target.find('#');
            l_x_Rule.m_x_Command = l_x_Target.substr(0, l_ul_Hash);
            if (l_ul_Hash != std::string::npos) {
                l_x_Rule.m_ul_Nth = strtoul(l_x_Target.c_str() + l_ul_Hash + 1, nullptr, 10);
            }
            l_x_Rule.m_ax_Actions = Split(l_x_Value.substr(l_ul_Equal + 1), ',');
            g_x_StandIn.m_ax_Rules.push_back(l_x_Rule);
        } else {
            fprintf(stderr, "tulvo_standin: unknown option %s\n", l_x_Option.c_str());
            return 1;
        }
    }
    g_x_StandIn.m_x_Param.m_pc_BaseName = l_x_Name.c_str();
    ToolShare_Init();
    if (l_x_Name.empty() ||
        ToolShareSrv_PublicListen(&g_x_StandIn.m_x_Param, &g_x_StandIn.m_x_Public) != TULVO_OK) {
        fprintf(stderr, "tulvo_standin: cannot listen on \"%s\"\n", l_x_Name.c_str());
        return 2;
    }
    printf("ready\n");
    fflush(stdout);
    ServePublic();
    return 0;
}
