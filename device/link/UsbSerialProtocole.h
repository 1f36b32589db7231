// The link framing on top of the serial port: WriteFrame wraps one ILV record in a frame and
// writes it in one piece; the receive thread's chunks go through the frame receiver, which
// hands every complete frame to the owner (the device object).
#ifndef TULVO_DEVICE_LINK_USBSERIALPROTOCOLE_H
#define TULVO_DEVICE_LINK_USBSERIALPROTOCOLE_H

#include "device/link/FrameCodec.h"
#include "device/link/UsbSerial.h"

#include <stdint.h>

// What the link needs from whoever owns it: every received frame (CFrameOwner), and a notice
// when the port cannot be opened, at start or when it is reopened after a wake-up.
class CUsbSerialProtocoleOwner : public CFrameOwner {
public:
    virtual void HandleSendBackError() = 0;

protected:
    ~CUsbSerialProtocoleOwner() = default;
};

class CUsbSerialProtocole : public CUsbSerial {
public:
    CUsbSerialProtocole(CUsbSerialProtocoleOwner* i_px_Owner, const char* i_pc_PortName);
    ~CUsbSerialProtocole() override;

    void HandleOpenError(int32_t i_i_SystemError) override;
    void ResetReceive() override;
    int32_t HandleReceiveBytes(const uint8_t* i_puc_Bytes, uint32_t i_ul_Count) override;
    uint32_t GetBytesAwaited() override;

    // Writes the frame of the L data bytes with one WriteBuffer call, and the 0x00 follow-up
    // byte when the frame ends on a 64-byte packet boundary. The status of the frame's write.
    // Callers serialise their calls (the device object's write mutex).
    int32_t WriteFrame(uint32_t i_ul_TimeoutMs, const uint8_t* i_puc_Data, uint32_t i_ul_Length);

    const CFrameReceiver::RxStruct& GetRxStruct() const { return m_x_Receiver.GetRxStruct(); }

private:
    CUsbSerialProtocoleOwner* m_px_Owner;
    CFrameReceiver m_x_Receiver;
};

#endif
