#include "device/manager/GestVekRecords.h"

#include "device/link/Ilv.h"
#include "ipc/protocol/TulvoStatus.h"

#include <string.h>

namespace {

// Size of the identifier field as far as the identifier itself: for the extended form that
// includes the length field, whose form decides where the identifier sits.
uint32_t IdentifierEnd(const uint8_t* i_puc_Frame, uint32_t i_ul_Length) {
    const uint8_t l_uc_First = i_puc_Frame[0];
    if (l_uc_First == ILV_MARK_HIGH) {
        return 2;
    }
    if (l_uc_First != ILV_MARK_EXTENDED) {
        return 1;
    }
    if (i_ul_Length < 1 + ILV_SHORT_LENGTH_SIZE) {
        return 1 + ILV_SHORT_LENGTH_SIZE + ILV_EXTENDED_ID_SIZE;
    }
    const bool l_b_Long = i_puc_Frame[1] == 0xFF && i_puc_Frame[2] == 0xFF;
    return 1 + (l_b_Long ? ILV_LONG_LENGTH_SIZE : ILV_SHORT_LENGTH_SIZE) + ILV_EXTENDED_ID_SIZE;
}

} // namespace

bool GestVek_GetFrameIdentifier(const uint8_t* i_puc_Frame, uint32_t i_ul_Length,
                                uint16_t* o_pus_Identifier) {
    *o_pus_Identifier = 0;
    if (i_puc_Frame == nullptr || i_ul_Length == 0 ||
        i_ul_Length < IdentifierEnd(i_puc_Frame, i_ul_Length)) {
        return false;
    }
    *o_pus_Identifier = ILV_GetIdentifier(i_puc_Frame);
    return true;
}

uint16_t GestVek_FrameIdentifier(const uint8_t* i_puc_Frame, uint32_t i_ul_Length) {
    uint16_t l_us_Identifier = 0;
    GestVek_GetFrameIdentifier(i_puc_Frame, i_ul_Length, &l_us_Identifier);
    return l_us_Identifier;
}

int32_t GestVek_ReadRunLevel(const uint8_t* i_puc_Reply, uint32_t i_ul_Length,
                             uint8_t* o_puc_RunLevel) {
    *o_puc_RunLevel = GESTVEK_UNKNOWN_RUN_LEVEL;
    const int32_t l_i_Check = ILV_Check(i_puc_Reply, i_ul_Length);
    if (l_i_Check != TULVO_OK) {
        return l_i_Check;
    }
    if (ILV_GetIdentifier(i_puc_Reply) != ILV_GET_RUN_LEVEL) {
        return TULVO_NO_RESPONSE;
    }
    uint32_t l_ul_Position = 0;
    uint8_t l_uc_DeviceStatus = 0;
    int32_t l_i_Status = ILV_ReadValue(i_puc_Reply, &l_ul_Position, &l_uc_DeviceStatus, 1);
    if (l_i_Status != TULVO_OK || l_uc_DeviceStatus != 0) {
        return l_i_Status;
    }
    uint8_t l_uc_Level = 0;
    l_i_Status = ILV_ReadValue(i_puc_Reply, &l_ul_Position, &l_uc_Level, 1);
    if (l_i_Status == TULVO_OK) {
        *o_puc_RunLevel = l_uc_Level;
    }
    return l_i_Status;
}

void GestVek_DefaultSerialNumber(char* o_pc_Text) {
    memset(o_pc_Text, 0, GESTVEK_SERIAL_NUMBER_SIZE);
    memset(o_pc_Text, GESTVEK_DEFAULT_SERIAL_DIGIT, GESTVEK_SERIAL_NUMBER_LENGTH);
}

int32_t GestVek_ReadSerialNumber(const uint8_t* i_puc_Reply, uint32_t i_ul_Length,
                                 char* o_pc_Text) {
    char l_ac_Text[GESTVEK_SERIAL_NUMBER_SIZE];
    GestVek_DefaultSerialNumber(l_ac_Text);
    int32_t l_i_Status = ILV_Check(i_puc_Reply, i_ul_Length);
    if (l_i_Status == TULVO_OK) {
        const uint16_t l_us_Identifier = ILV_GetIdentifier(i_puc_Reply);
        uint32_t l_ul_Position = 0;
        uint8_t l_uc_DeviceStatus = 0;
        if (l_us_Identifier == ILV_INVALID) {
            l_i_Status = TULVO_OK;
        } else if (l_us_Identifier != ILV_GET_SERIAL_NUMBER) {
            l_i_Status = TULVO_NO_RESPONSE;
        } else if ((l_i_Status = ILV_ReadValue(i_puc_Reply, &l_ul_Position, &l_uc_DeviceStatus,
                                               1)) == TULVO_OK &&
                   l_uc_DeviceStatus == 0) {
            uint8_t l_auc_Digits[GESTVEK_SERIAL_NUMBER_LENGTH];
            l_ul_Position = GESTVEK_SERIAL_NUMBER_OFFSET;
            l_i_Status =
                ILV_ReadValue(i_puc_Reply, &l_ul_Position, l_auc_Digits, sizeof(l_auc_Digits));
            if (l_i_Status == TULVO_OK) {
                memcpy(l_ac_Text, l_auc_Digits, sizeof(l_auc_Digits));
            }
        }
    }
    if (o_pc_Text != nullptr) {
        memcpy(o_pc_Text, l_ac_Text, sizeof(l_ac_Text));
    }
    return l_i_Status;
}
