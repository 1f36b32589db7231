// The eight overlapped reads of one receive thread: their buffers, events and records, owned
// together for the life of that thread. Reads are started and consumed strictly in index order;
// the port completes them in the order they were started, so the chunks come out in stream
// order. A read the port has not finished when the ring goes away keeps its memory, which the
// port may still write.
#ifndef TULVO_DEVICE_LINK_USBSERIALREADRING_H
#define TULVO_DEVICE_LINK_USBSERIALREADRING_H

#include "device/link/UsbSerialPort.h"

#include <windows.h>

#include <stdint.h>

#define USBSERIAL_READ_COUNT 8
#define USBSERIAL_READ_SIZE 32768

class CUsbSerialReadRing {
public:
    CUsbSerialReadRing();
    ~CUsbSerialReadRing();
    CUsbSerialReadRing(const CUsbSerialReadRing&) = delete;
    CUsbSerialReadRing& operator=(const CUsbSerialReadRing&) = delete;

    // The buffer, auto-reset event and record of one index; false when any is missing.
    bool Allocate(uint32_t i_ul_Index);
    // Starts the read of that index into the start of its buffer, of the whole buffer unless
    // fewer bytes are asked for. True when it is outstanding; false, with the system's last
    // error, when it could not start.
    bool Start(CUsbSerialPort& io_x_Port, uint32_t i_ul_Index,
               uint32_t i_ul_Size = USBSERIAL_READ_SIZE);
    bool AnyOutstanding() const;
    HANDLE GetEvent(uint32_t i_ul_Index) const { return m_ax_Reads[i_ul_Index].m_h_Event; }
    // The result of a read whose event has been signalled: true with its byte count, or false
    // with the system's last error.
    bool Collect(uint32_t i_ul_Index, uint32_t* o_pul_Count);
    const uint8_t* GetBytes(uint32_t i_ul_Index) const;
    // Cancels the reads this thread has outstanding and waits for all of them up to the limit.
    // False when some are still outstanding.
    bool Drain(CUsbSerialPort& io_x_Port, uint32_t i_ul_LimitMs);

private:
    // The record first, then the data, in one block per read.
    struct SReadBlock {
        OVERLAPPED m_x_Overlapped;
        uint8_t m_auc_Data[USBSERIAL_READ_SIZE];
    };
    struct SRead {
        SReadBlock* m_px_Block;
        HANDLE m_h_Event;
        HANDLE m_h_Port;          // the handle the read was started on
        uint32_t m_ul_Generation; // and which opening of the port that was
        bool m_b_Outstanding;
    };

    SRead m_ax_Reads[USBSERIAL_READ_COUNT];
};

#endif
