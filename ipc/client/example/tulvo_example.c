/* tulvo_example: the smallest useful program on the client library, in C.
 * Lists the sensors the VEK USB Service knows, then sends one frame to the first of them (or
 * to the one named on the command line) and prints the answer.
 *   tulvo_example [SERIAL]
 * The frame asks the sensor for its serial number (ILV identifier 0x0080, no value). */
#include <TulvoCli.h>

#include <stdio.h>

int main(int argc, char** argv) {
    TulvoCli_DeviceProperties* l_px_List = NULL;
    uint32_t l_ul_Count = 0;
    int32_t l_i_Status = TulvoCli_EnumDevices(&l_px_List, &l_ul_Count);
    if (l_i_Status != TULVO_OK) {
        printf("listing the sensors failed: %s (%d)\n", TulvoStatus_Name(l_i_Status),
               (int)l_i_Status);
        return 1;
    }
    printf("%u sensor(s)\n", (unsigned)l_ul_Count);
    for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_Count; ++l_ul_Index) {
        printf("  %s on %s: %s\n", (const char*)l_px_List[l_ul_Index].m_puc_SerialNumber,
               (const char*)l_px_List[l_ul_Index].m_puc_DevicePath,
               (const char*)l_px_List[l_ul_Index].m_puc_FriendlyName);
    }

    char l_ac_Serial[TULVOCLI_SERIAL_NUMBER_SIZE] = "";
    if (argc > 1) {
        snprintf(l_ac_Serial, sizeof(l_ac_Serial), "%s", argv[1]);
    } else if (l_ul_Count > 0) {
        snprintf(l_ac_Serial, sizeof(l_ac_Serial), "%s",
                 (const char*)l_px_List[0].m_puc_SerialNumber);
    }
    TulvoCli_FreeDeviceList(&l_px_List, l_ul_Count);
    if (l_ac_Serial[0] == '\0') {
        return 0;
    }

    TulvoCli_Connection* l_px_Connection = NULL;
    l_i_Status = TulvoCli_Connect(&l_px_Connection, l_ac_Serial);
    if (l_i_Status != TULVO_OK) {
        printf("connecting to %s failed: %s (%d)\n", l_ac_Serial, TulvoStatus_Name(l_i_Status),
               (int)l_i_Status);
        return 1;
    }
    const uint8_t l_auc_Frame[] = {0x80, 0x00, 0x00};
    uint8_t* l_puc_Answer = NULL;
    uint32_t l_ul_AnswerLength = 0;
    l_i_Status = TulvoCli_Exchange(l_px_Connection, 5000, l_auc_Frame, sizeof(l_auc_Frame),
                                   &l_puc_Answer, &l_ul_AnswerLength);
    if (l_i_Status == TULVO_OK) {
        printf("answer of %s:", l_ac_Serial);
        for (uint32_t l_ul_Index = 0; l_ul_Index < l_ul_AnswerLength; ++l_ul_Index) {
            printf(" %02X", l_puc_Answer[l_ul_Index]);
        }
        printf("\n");
    } else {
        printf("exchange with %s failed: %s (%d)\n", l_ac_Serial, TulvoStatus_Name(l_i_Status),
               (int)l_i_Status);
    }
    TulvoCli_FreeBuffer(&l_puc_Answer);
    TulvoCli_Disconnect(&l_px_Connection);
    return l_i_Status == TULVO_OK ? 0 : 1;
}
