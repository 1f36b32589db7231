#include "device/link/UsbSerialProtocole.h"

#include "ipc/protocol/TulvoStatus.h"
#include "service/TraceLog.h"

#include <stdlib.h>

CUsbSerialProtocole::CUsbSerialProtocole(CUsbSerialProtocoleOwner* i_px_Owner,
                                         const char* i_pc_PortName)
    : CUsbSerial(i_pc_PortName), m_px_Owner(i_px_Owner), m_x_Receiver(i_px_Owner) {}

CUsbSerialProtocole::~CUsbSerialProtocole() {
    // The receive thread calls into this part of the object: it must be gone first.
    StopThreads();
}

void CUsbSerialProtocole::HandleOpenError(int32_t i_i_SystemError) {
    CUsbSerial::HandleOpenError(i_i_SystemError);
    if (m_px_Owner != nullptr) {
        m_px_Owner->HandleSendBackError();
    }
}

void CUsbSerialProtocole::ResetReceive() {
    m_x_Receiver.ResetReceive();
}

int32_t CUsbSerialProtocole::HandleReceiveBytes(const uint8_t* i_puc_Bytes, uint32_t i_ul_Count) {
    return m_x_Receiver.HandleReceiveBytes(i_puc_Bytes, i_ul_Count);
}

uint32_t CUsbSerialProtocole::GetBytesAwaited() {
    return m_x_Receiver.GetBytesToCompleteFrame();
}

int32_t CUsbSerialProtocole::WriteFrame(uint32_t i_ul_TimeoutMs, const uint8_t* i_puc_Data,
                                        uint32_t i_ul_Length) {
    uint8_t* l_puc_BufferToSend = nullptr;
    uint32_t l_ul_FrameSize = 0;
    const int32_t l_i_Encoded =
        Frame_AllocEncoded(i_puc_Data, i_ul_Length, &l_puc_BufferToSend, &l_ul_FrameSize);
    if (l_i_Encoded == TULVO_NO_MEMORY) {
        TraceLog_SysError("CUsbSerialProtocole::WriteFrame: l_puc_BufferToSend");
        return TULVO_NO_MEMORY;
    }
    if (l_i_Encoded != TULVO_OK) {
        return l_i_Encoded;
    }
    const int32_t l_i_Status = WriteBuffer(i_ul_TimeoutMs, l_puc_BufferToSend, l_ul_FrameSize);
    free(l_puc_BufferToSend);
    if (Frame_NeedsZeroByte(l_ul_FrameSize)) {
        // Sent whatever became of the frame: a device that got part of it is still waiting
        // for the end of its packet.
        Sleep(FRAME_ZERO_BYTE_DELAY_MS);
        const uint8_t l_uc_Zero = 0x00;
        if (WriteBuffer(i_ul_TimeoutMs, &l_uc_Zero, 1) != TULVO_OK) {
            TraceLog_SysError("CUsbSerialProtocole::WriteFrame: error on sending empty data "
                              "needed for multiple 64B");
        }
    }
    return l_i_Status;
}
