// One USB communications-class serial port owned for the life of its device object.
//
// Two threads per port. The monitor thread (ThreadProc) alone closes and reopens the port
// after start-up: it starts the receive thread, and on a sleep request purges and closes the
// port, on a wake-up request reopens it and starts a new receive thread. The receive thread
// (ThreadProcInternal) keeps eight overlapped reads of 32 KiB outstanding and consumes them
// strictly in the order they were issued, so HandleReceiveBytes sees the byte stream in order.
// The creating thread talks to the two threads only through the four events. Every call on the
// port handle goes through CUsbSerialPort, so that none starts on a handle closed meanwhile.
//
// Frame-complete reads, an opt-in receive mode (FrameCompleteReads = 1, a DWORD under the
// service's Parameters key, read at every opening of the port): the ring's reads have no
// time-outs, and each asks for a size chosen when it starts: the first outstanding one for the
// bytes that can complete the frame in progress (GetBytesAwaited) or for what the driver already
// holds, whichever is more, the others only for bytes a long frame still owes. A read then ends
// the moment its frame is complete, where a default read ends only once the line has been quiet
// for the read interval.
#ifndef TULVO_DEVICE_LINK_USBSERIAL_H
#define TULVO_DEVICE_LINK_USBSERIAL_H

#include "device/link/UsbSerialPort.h"
#include "device/link/UsbSerialReadRing.h"

#include <windows.h>

#include <stdint.h>

#define USBSERIAL_PORT_NAME_SIZE 32
#define USBSERIAL_QUEUE_SIZE 16384
#define USBSERIAL_BAUD_RATE 460800
// fBinary | fDtrControl = DTR_CONTROL_ENABLE | fRtsControl = RTS_CONTROL_HANDSHAKE.
#define USBSERIAL_DCB_FLAGS 0x2011u
#define USBSERIAL_OPEN_TIMEOUT_MS 1000
// Read interval of the receive thread: a read ends once the line has been quiet this long.
#define USBSERIAL_RX_INTERVAL_MS 5
#define USBSERIAL_THREAD_WAIT_MS 1000
#define USBSERIAL_READBUFFER_WAIT_MS 10000
// usbser.sys refuses a single transfer of this many bytes or more.
#define USBSERIAL_MAX_WRITE_SIZE 0x3FFFE9u

class CUsbSerial {
public:
    explicit CUsbSerial(const char* i_pc_PortName);
    virtual ~CUsbSerial();
    CUsbSerial(const CUsbSerial&) = delete;
    CUsbSerial& operator=(const CUsbSerial&) = delete;

    // Hooks for the derived link: the open failure's notice, the receiver's reset, and every
    // chunk the receive thread reads, in stream order.
    virtual void HandleOpenError(int32_t i_i_SystemError);
    virtual void ResetReceive();
    virtual int32_t HandleReceiveBytes(const uint8_t* i_puc_Bytes, uint32_t i_ul_Count);
    // The fewest bytes the receiver needs before it can do more than wait; frame-complete reads
    // ask for no fewer. 1 here: without framing any byte is news.
    virtual uint32_t GetBytesAwaited();

    int32_t Start();
    int32_t Open(const char* i_pc_PortName);
    int32_t ConfigurePort();
    int32_t SetCommState();
    int32_t MySetCommTimeouts(uint32_t i_ul_ReadTotalConstant);
    int32_t SetupComm(uint32_t i_ul_InputSize, uint32_t i_ul_OutputSize);
    int32_t FlushBuffers();
    int32_t PurgeComm(uint32_t i_ul_Flags);
    void ClosePort();
    int32_t WriteBuffer(uint32_t i_ul_TimeoutMs, const uint8_t* i_puc_Bytes, uint32_t i_ul_Count);
    // Ends the writes in progress and refuses every later one with TULVO_ABORTED, for good: for
    // an owner that is leaving, whose writers must not wait for a device that stopped reading.
    int32_t CancelWrites();
    int32_t ReadBuffer(uint8_t* o_puc_Buffer, uint32_t* io_pul_Count);
    int32_t CancelIo();
    int32_t WaitCommEvent(OVERLAPPED* io_px_Overlapped, DWORD* o_pul_EventMask);
    int32_t RequestSleep();
    int32_t RequestWakeUp();
    int32_t GetOpenError() const { return m_i_OpenError; }

    // For tests and diagnostics: what the threads are doing right now.
    bool IsPortOpen() const { return m_x_Port.IsOpen(); }
    bool IsReceiveThreadRunning() const { return m_i_ThreadProcRunning != 0; }
    // How many receive threads this object has started so far.
    uint32_t GetReceiveThreadStarts() const { return m_ul_ReceiveThreadStarts; }
    // Writes that the port has accepted and not finished yet.
    uint32_t GetPendingWrites() const { return static_cast<uint32_t>(m_l_PendingWrites); }

protected:
    // Stops the receive thread, then the monitor thread. A derived class calls it first thing in
    // its destructor: the receive thread calls HandleReceiveBytes, which must not outlive the
    // derived part. Safe to call more than once.
    void StopThreads();

private:
    static DWORD WINAPI ThreadProc(LPVOID i_pv_This);
    static DWORD WINAPI ThreadProcInternal(LPVOID i_pv_This);
    DWORD MonitorLoop();
    DWORD ReceiveLoop();
    bool SetReceiveTimeouts(bool i_b_FrameCompleteReads);
    bool StartInitialReads(CUsbSerialReadRing& io_x_Ring);
    void ReadUntilStopped(CUsbSerialReadRing& io_x_Ring);
    void ReadFramesUntilStopped(CUsbSerialReadRing& io_x_Ring);
    uint32_t FrameReadSize();
    int32_t StartReceiveThread();
    void JoinLateReceiveThread();
    int32_t ArmCommEvent();
    // Waits for a thread with the usual limit; a thread that is late gets the port shut under it
    // (which ends its I/O) and is then waited for without limit, because it still runs code of
    // this object.
    void WaitThreadEnd(HANDLE i_h_Thread, const char* i_pc_Name);
    void CloseHandleIfAny(HANDLE* io_ph_Handle);
    // Waits for an overlapped call that has not completed within its time-out: cancels it on the
    // opening it was started on (a port closed since has ended it) and collects its result.
    static void CancelAndCollect(CUsbSerialPort& io_x_Port, uint32_t i_ul_Generation,
                                 HANDLE i_h_Port, OVERLAPPED* io_px_Overlapped, DWORD* o_pul_Count);

    char m_ac_PortName[USBSERIAL_PORT_NAME_SIZE];
    HANDLE m_h_ThreadProc;
    volatile LONG m_i_ThreadProcRunning;
    CUsbSerialPort m_x_Port;
    HANDLE m_h_MonitorThread;
    uint32_t m_ul_MonitorThreadId;
    HANDLE m_h_MonitorEventStop;
    HANDLE m_h_MonitorEventSleep;
    HANDLE m_h_MonitorEventWakeUp;
    HANDLE m_h_ThreadProcEventStop;
    volatile LONG m_i_OpenError;
    // The receive mode read at the last opening of the port, for the receive thread it starts.
    volatile LONG m_i_FrameCompleteReads;
    volatile LONG m_ul_ReceiveThreadStarts;
    volatile LONG m_l_PendingWrites;
    // Set by CancelWrites (the flag spares the frame path a kernel call).
    volatile LONG m_l_WritesCancelled = 0;
    HANDLE m_h_WriteCancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Guards m_h_ThreadProc, which the monitor thread replaces and the creating thread waits on.
    CRITICAL_SECTION m_x_ThreadLock;
};

#endif
