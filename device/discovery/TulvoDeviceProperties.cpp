#include "device/discovery/TulvoDeviceProperties.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>
#include <string.h>

namespace {

// A failed copy is logged with the caption the caller names; the remaining texts are still
// attempted so that the log shows every text that could not be copied.
bool CopyText(const unsigned char* i_puc_Source, unsigned char** o_ppuc_Copy,
              const char* i_pc_Caption) {
    *o_ppuc_Copy = nullptr;
    if (i_puc_Source == nullptr) {
        return true;
    }
    const size_t l_ul_Size = strlen(reinterpret_cast<const char*>(i_puc_Source)) + 1;
    *o_ppuc_Copy = static_cast<unsigned char*>(malloc(l_ul_Size));
    if (*o_ppuc_Copy == nullptr) {
        TraceLog_SysError(i_pc_Caption);
        return false;
    }
    memcpy(*o_ppuc_Copy, i_puc_Source, l_ul_Size);
    return true;
}

} // namespace

int TulvoEnum_CopyDeviceProperties(TulvoEnum_DeviceProperties* o_px_Properties,
                                   const TulvoEnum_DeviceProperties* i_px_Source) {
    if (i_px_Source == nullptr || o_px_Properties == nullptr) {
        return TULVO_BAD_PARAMETER;
    }
    memset(o_px_Properties, 0, sizeof(*o_px_Properties));
    bool l_b_Ok = CopyText(i_px_Source->m_puc_FriendlyName, &o_px_Properties->m_puc_FriendlyName,
                           "TulvoEnum_CopyDeviceProperties: malloc: "
                           "o_px_Properties->m_puc_FriendlyName");
    l_b_Ok &= CopyText(i_px_Source->m_puc_InstanceId, &o_px_Properties->m_puc_InstanceId,
                       "TulvoEnum_CopyDeviceProperties: malloc: o_px_Properties->m_puc_InstanceId");
    l_b_Ok &=
        CopyText(i_px_Source->m_puc_SerialNumber, &o_px_Properties->m_puc_SerialNumber,
                 "TulvoEnum_CopyDeviceProperties: malloc: o_px_Properties->m_puc_SerialNumber");
    l_b_Ok &= CopyText(i_px_Source->m_puc_DevicePath, &o_px_Properties->m_puc_DevicePath,
                       "TulvoEnum_CopyDeviceProperties: malloc: o_px_Properties->m_puc_DevicePath");
    if (!l_b_Ok) {
        TulvoEnum_FreeDeviceProperties(o_px_Properties);
        return TULVO_NO_MEMORY;
    }
    return TULVO_OK;
}

int TulvoEnum_FreeDeviceProperties(TulvoEnum_DeviceProperties* io_px_Properties) {
    if (io_px_Properties == nullptr) {
        return TULVO_OK;
    }
    free(io_px_Properties->m_puc_FriendlyName);
    io_px_Properties->m_puc_FriendlyName = nullptr;
    free(io_px_Properties->m_puc_InstanceId);
    io_px_Properties->m_puc_InstanceId = nullptr;
    free(io_px_Properties->m_puc_SerialNumber);
    io_px_Properties->m_puc_SerialNumber = nullptr;
    free(io_px_Properties->m_puc_DevicePath);
    io_px_Properties->m_puc_DevicePath = nullptr;
    return TULVO_OK;
}
