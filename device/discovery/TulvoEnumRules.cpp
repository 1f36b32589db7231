#include "device/discovery/TulvoEnumRules.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

// Product data: the maker's two vendor identifiers (2F3A for the sensors, 3E71 for the
// second-source line) and the model names. Rows are searched in this order, so a more
// specific fragment must come before any fragment it contains (none does today).
const TulvoEnum_SupportedDevice g_ax_TulvoEnum_SupportedDevices[TULVOENUM_SUPPORTED_COUNT] = {
    {"VID_2F3A&PID_0101", "Ornivascope MX300"},
    {"VID_2F3A&PID_0102", "Ornivascope MX310"},
    {"VID_2F3A&PID_0103", "Ornivascope MX320"},
    {"VID_2F3A&PID_0110", "Ornivascope MX400"},
    {"VID_2F3A&PID_0111", "Ornivascope MX410 Lite"},
    {"VID_2F3A&PID_0112", "Ornivascope MX420"},
    {"VID_2F3A&PID_0120", "Ornivascope TK10"},
    {"VID_2F3A&PID_0121", "Ornivascope TK12"},
    {"VID_2F3A&PID_0122", "Ornivascope TK20 Duo"},
    {"VID_2F3A&PID_0130", "Ornivascope CB5"},
    {"VID_2F3A&PID_0131", "Ornivascope CB7"},
    {"VID_2F3A&PID_0140", "Ornivascope MX300 Dual"},
    {"VID_2F3A&PID_0141", "Ornivascope MX400 Dual"},
    {"VID_2F3A&PID_0150", "Ornivascope Kiosk K1"},
    {"VID_2F3A&PID_0151", "Ornivascope Kiosk K2"},
    {"VID_2F3A&PID_0160", "Ornivascope FS80"},
    {"VID_2F3A&PID_0161", "Ornivascope FS88"},
    {"VID_2F3A&PID_01A0", "Ornivascope OEM Module"},
    {"VID_2F3A&PID_01A1", "Ornivascope OEM Module S"},
    {"VID_2F3A&PID_0F00", "Ornivascope Bootloader"},
    {"VID_3E71&PID_2001", "Ornivascope Pilot 2"},
    {"VID_3E71&PID_2002", "Ornivascope Pilot 3"},
    {"VID_3E71&PID_2010", "Ornivascope Pilot Dock"},
    {"VID_3E71&PID_2020", "Ornivascope Mini"},
    {"VID_3E71&PID_2030", "Talvik Reader R5"},
    {"VID_3E71&PID_2031", "Talvik Reader R7"},
    {"VID_3E71&PID_2040", "FP Eval Board"},
};

int IsSupportedDevice_VID_PID(const char* i_pc_HardwareId) {
    TraceLog_Printf("IsSupportedDevice_VID_PID %s\n",
                    i_pc_HardwareId != nullptr ? i_pc_HardwareId : "(null)");
    if (i_pc_HardwareId == nullptr) {
        return -1;
    }
    for (int l_i_Row = 0; l_i_Row < TULVOENUM_SUPPORTED_COUNT; ++l_i_Row) {
        if (strstr(i_pc_HardwareId,
                   g_ax_TulvoEnum_SupportedDevices[l_i_Row].m_pc_HardwareIdFragment) != nullptr) {
            return l_i_Row;
        }
    }
    return -1;
}

int TulvoEnum_IsAcceptedService(const char* i_pc_ServiceName) {
    if (i_pc_ServiceName == nullptr) {
        return 0;
    }
    return strcmp(i_pc_ServiceName, TULVOENUM_SERVICE_NALVACOMM) == 0 ||
           strcmp(i_pc_ServiceName, TULVOENUM_SERVICE_USBSER) == 0;
}

const char* TulvoEnum_FindText(const char* i_pc_Text, const char* i_pc_Needle,
                               TulvoEnum_PfIsLeadByte i_pf_IsLeadByte) {
    if (i_pc_Text == nullptr || i_pc_Needle == nullptr) {
        return nullptr;
    }
    const size_t l_ul_NeedleLength = strlen(i_pc_Needle);
    for (const char* l_pc = i_pc_Text; *l_pc != '\0';) {
        if (strncmp(l_pc, i_pc_Needle, l_ul_NeedleLength) == 0) {
            return l_pc;
        }
        // A lead byte followed by the end of the text is a broken character: step one byte so
        // that the walk never passes the terminating zero.
        if (i_pf_IsLeadByte != nullptr && i_pf_IsLeadByte(static_cast<unsigned char>(*l_pc)) &&
            l_pc[1] != '\0') {
            l_pc += 2;
        } else {
            l_pc += 1;
        }
    }
    return l_ul_NeedleLength == 0 ? i_pc_Text : nullptr;
}

TulvoEnum_RewriteChoice
TulvoEnum_BuildFriendlyName(int i_i_Row, const char* i_pc_FriendlyName,
                            TulvoEnum_PfIsLeadByte i_pf_IsLeadByte,
                            char o_ac_NewName[TULVOENUM_FRIENDLYNAME_SIZE]) {
    memset(o_ac_NewName, 0, TULVOENUM_FRIENDLYNAME_SIZE);
    if (i_i_Row < 0 || i_i_Row >= TULVOENUM_SUPPORTED_COUNT || i_pc_FriendlyName == nullptr) {
        return TULVOENUM_REWRITE_BAD_ROW;
    }
    if (TulvoEnum_FindText(i_pc_FriendlyName, TULVOENUM_PRODUCT_LINE_NAME, i_pf_IsLeadByte) !=
        nullptr) {
        return TULVOENUM_REWRITE_HAS_PRODUCT_LINE;
    }
    const char* l_pc_Suffix = TulvoEnum_FindText(i_pc_FriendlyName, "(", i_pf_IsLeadByte);
    if (l_pc_Suffix == nullptr) {
        return TULVOENUM_REWRITE_NO_PORT_SUFFIX;
    }
    const char* l_pc_DisplayName = g_ax_TulvoEnum_SupportedDevices[i_i_Row].m_pc_DisplayName;
    const size_t l_ul_DisplayLength = strlen(l_pc_DisplayName);
    const size_t l_ul_SuffixLength = strlen(l_pc_Suffix);
    // Cutting the name would lose the port suffix that users look for, so a name that does
    // not fit keeps its old text instead.
    if (l_ul_DisplayLength + 1 + l_ul_SuffixLength + 1 > TULVOENUM_FRIENDLYNAME_SIZE) {
        return TULVOENUM_REWRITE_TOO_LONG;
    }
    memcpy(o_ac_NewName, l_pc_DisplayName, l_ul_DisplayLength);
    o_ac_NewName[l_ul_DisplayLength] = ' ';
    memcpy(o_ac_NewName + l_ul_DisplayLength + 1, l_pc_Suffix, l_ul_SuffixLength);
    return TULVOENUM_REWRITE_DONE;
}

void TulvoEnum_UpperCase(char* io_pc_Text, size_t i_ul_Size) {
    if (io_pc_Text == nullptr) {
        return;
    }
    for (size_t l_ul = 0; l_ul < i_ul_Size && io_pc_Text[l_ul] != '\0'; ++l_ul) {
        if (io_pc_Text[l_ul] >= 'a' && io_pc_Text[l_ul] <= 'z') {
            io_pc_Text[l_ul] = static_cast<char>(io_pc_Text[l_ul] - 'a' + 'A');
        }
    }
}

int GetSerialNumber_(const unsigned char* i_puc_Identifier, unsigned char** o_pp_SerialNumber) {
    if (i_puc_Identifier == nullptr) {
        return TULVO_NO_SERIAL_NUMBER;
    }
    const char* l_pc_Backslash = strrchr(reinterpret_cast<const char*>(i_puc_Identifier), '\\');
    if (l_pc_Backslash == nullptr) {
        return TULVO_NO_SERIAL_NUMBER;
    }
    const size_t l_ul_Length = strlen(l_pc_Backslash + 1);
    *o_pp_SerialNumber = static_cast<unsigned char*>(malloc(l_ul_Length + 1));
    if (*o_pp_SerialNumber == nullptr) {
        TraceLog_SysError("GetSerialNumber_: malloc: *o_pp_SerialNumber");
        return TULVO_NO_MEMORY;
    }
    memcpy(*o_pp_SerialNumber, l_pc_Backslash + 1, l_ul_Length + 1);
    return TULVO_OK;
}

int TulvoEnum_CopyCompositeEnumerator(const unsigned char* i_puc_InstanceId,
                                      unsigned char** o_ppuc_Enumerator) {
    *o_ppuc_Enumerator = nullptr;
    if (i_puc_InstanceId == nullptr) {
        return 1;
    }
    const char* l_pc_Id = reinterpret_cast<const char*>(i_puc_InstanceId);
    const char* l_pc_Marker = strstr(l_pc_Id, TULVOENUM_COMPOSITE_MARKER);
    if (l_pc_Marker == nullptr) {
        return 1;
    }
    const size_t l_ul_Length = static_cast<size_t>(l_pc_Marker - l_pc_Id);
    *o_ppuc_Enumerator = static_cast<unsigned char*>(malloc(l_ul_Length + 1));
    if (*o_ppuc_Enumerator == nullptr) {
        return TULVO_NO_MEMORY;
    }
    memcpy(*o_ppuc_Enumerator, l_pc_Id, l_ul_Length);
    (*o_ppuc_Enumerator)[l_ul_Length] = '\0';
    return TULVO_OK;
}
