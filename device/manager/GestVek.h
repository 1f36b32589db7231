// The device object: one per attached sensor. It owns the sensor's link (the serial port and
// its frame protocol) and three pipes, opens the port, reads the sensor's serial number and
// run level, serialises the frames its pipes write, and routes every frame the sensor sends
// to one pipe: the pipe waiting for a reply with that identifier, the real-time log pipe, or
// the normal pipe.
//
// LIFETIME OF A DEVICE OBJECT (binding for every user: device list, channel servers, tests)
//
//  1. A device object carries a hold count, and nobody touches it without a hold. The device
//     list keeps one hold per listed object, inside the entry's CGestVekSlot. A private
//     channel thread takes a hold for the length of each command (CGestVekSlot::Hold) and
//     drops it when the command is done (its CGestVekHold goes out of scope). The port's
//     threads are never holders: they run inside the object only through its link, and
//     destroying the object joins them.
//  2. Reading a slot and taking a hold is one step under the slot's lock, as are putting an
//     object in and taking it out, so a removal cannot slip between the read and the hold.
//     Channels keep the slot, never the object, and hold the object anew for each command.
//  3. A pipe pointer from GetPipe is valid only while the caller's hold lasts.
//  4. Removal (on the window thread): CGestVekSlot::Remove takes the object out of its slot,
//     Stops it (the pipes' stop events end every wait inside it with -415, writes to the
//     device end with -415 too, frames arriving later are discarded, and it is never opened
//     or resumed again), then drops the list's hold.
//  5. The object is destroyed when its last hold is dropped, and only on its home thread (the
//     thread that created it: the monitor's window thread). Dropped there, it is destroyed at
//     once. Dropped on any other thread, it is handed back to its owner
//     (CGestVekOwner::HandleGestVekReturned), which destroys it on its home thread with
//     CGestVek::DestroyReturned. Destruction joins the port's threads before it frees the
//     pipes, then tells the owner (HandleGestVekDestroyed); the owner outlives its objects.
//     (An object without an owner is destroyed wherever its last hold goes.)
//
// Threads: construction, Suspend, Resume, Stop and destruction on the home thread; GetPipe
// (which may open the device on demand) and WriteFrame on channel threads; HandleReceiveFrame
// on the port's receive thread. Opening, Suspend, Resume, Stop and Release are serialised by
// the object's state lock, so two channels asking for a pipe at once open the device once;
// the second waits until the first has read the serial number and run level (the open lock).
#ifndef TULVO_DEVICE_MANAGER_GESTVEK_H
#define TULVO_DEVICE_MANAGER_GESTVEK_H

#include "device/discovery/TulvoDeviceProperties.h"
#include "device/link/UsbSerialProtocole.h"
#include "device/manager/GestVekPipe.h"
#include "device/manager/GestVekRecords.h"
#include "ipc/protocol/GestIpcFormat.h"

#include <windows.h>

#include <stdint.h>

#include <atomic>

#define GESTVEK_PIPE_COUNT 3
// Stands in a device-list slot while the window thread builds the object for it.
#define GESTVEK_CREATION_MARKER 0xDEADBEAFu

class CGestVek;
class CGestVekHold;

// Kernel calls made on the frame path by device objects and pipes (the link's own excepted),
// counted for the benchmark; each is a server round trip under wine.
void GestVek_CountKernelCall();
uint32_t GestVek_GetKernelCallCount();

// What a device object needs from its owner, the device monitor.
class CGestVekOwner {
public:
    // The link could not open the port (at Allocate, or when reopening it after a resume);
    // called on the thread that tried.
    virtual void HandleSendBackError() = 0;
    // The last hold was dropped on a thread other than the object's home thread; called on
    // that thread. The owner destroys the object on its home thread (DestroyReturned).
    virtual void HandleGestVekReturned(CGestVek* i_px_GestVek) = 0;
    // The object's link and pipes are gone; its memory goes right after this call.
    virtual void HandleGestVekDestroyed(CGestVek* i_px_GestVek) = 0;

protected:
    ~CGestVekOwner() = default;
};

class CGestVek final : public CUsbSerialProtocoleOwner {
public:
    // Builds the object for the port (its properties looked up by port name; a device not
    // found leaves them empty) with one hold, the caller's. Empty when there is no memory.
    // The calling thread becomes the object's home thread.
    static CGestVekHold Create(CGestVekOwner* i_px_Owner, const char* i_pc_PortName,
                               int32_t i_i_OpenAllowed);
    // For the owner, on the home thread, with an object HandleGestVekReturned gave it.
    static void DestroyReturned(CGestVek* i_px_GestVek);

    CGestVek(const CGestVek&) = delete;
    CGestVek& operator=(const CGestVek&) = delete;

    int32_t Allocate();
    int32_t AllocateIfAllowed();
    // The pipe (valid while the caller holds the object). Opens the device first when it is
    // not open and may be. TULVO_PORT_NOT_OPEN when it is not open and cannot or may not be
    // opened; TULVO_NO_RESPONSE for an index other than 0 to 2.
    int32_t GetPipe(int32_t i_i_Index, CGestVek_Pipe** o_ppx_Pipe);
    // Who holds the lock of that pipe and since when (CGestVek_Pipe::GetLockHolder), without
    // opening the device; false for a device that is not open, a bad index or a free lock.
    bool GetLockHolder(int32_t i_i_Index, uint32_t* o_pul_ProcessId, ULONGLONG* o_pull_Since) const;
    // Receive thread; takes ownership of the frame.
    int32_t HandleReceiveFrame(uint8_t* i_puc_Frame, uint32_t i_ul_Length) override;
    // o_pb_Sent (may be NULL): set once the frame goes to the link, so that an answer may come.
    int32_t WriteFrame(int32_t i_i_PipeIndex, uint32_t i_ul_Timeout, const uint8_t* i_puc_Frame,
                       uint32_t i_ul_Length, bool* o_pb_Sent = nullptr);
    // Receive thread, from a pipe that dropped an answer owed to a holder that died: the pipe
    // waits for another answer of that identifier (its own holder asked the same).
    void KeepAwaiting(int32_t i_i_PipeIndex, uint16_t i_us_Identifier);
    int32_t Suspend();
    int32_t Resume();
    // The error hook of the link: passes the notice on to the owner.
    void HandleSendBackError() override;
    // Removal: stops the pipes and ends the link's writes, for good (see the lifetime rule
    // above).
    void Stop();

    const TulvoEnum_DeviceProperties& GetProperties() const { return m_x_Properties; }
    // The serial number as the device reported it (21 '0' when it did not answer); empty until
    // the object has been opened. Written once, before the opening is marked complete.
    const char* GetReportedSerialNumber() const { return m_b_Opened ? m_ac_SerialNumber : ""; }
    uint8_t GetReportedRunLevel() const { return m_uc_RunLevel; }
    int32_t GetOpenError() const { return m_i_OpenError; }
    bool IsAllocated() const { return m_i_Allocated == 1; }
    // Allocated, and the serial number and run level read: pipes are handed out from then on.
    bool IsOpened() const { return m_b_Opened; }
    // Holds right now; for diagnostics and tests only (it changes under the caller's feet).
    int32_t GetHoldCount() const { return m_i_HoldCount; }

private:
    friend class CGestVekHold;
    friend class CGestVekSlot;

    struct SPipeEntry {
        CGestVek_Pipe* m_px_Pipe;
        // Identifier of the last frame this pipe wrote whose reply has not come; 0 when none.
        std::atomic<uint16_t> m_us_PendingIdentifier;
    };

    CGestVek(CGestVekOwner* i_px_Owner, const char* i_pc_PortName, int32_t i_i_OpenAllowed);
    ~CGestVek();

    void Release();
    void AddHold();
    void DropHold();
    int32_t ChoosePipe(bool i_b_HasIdentifier, uint16_t i_us_Identifier);
    void DeletePipes();

    TulvoEnum_DeviceProperties m_x_Properties;
    char m_ac_SerialNumber[GESTVEK_SERIAL_NUMBER_SIZE];
    std::atomic<uint8_t> m_uc_RunLevel;
    CGestVekOwner* m_px_Owner;
    int32_t m_i_OpenAllowed;
    std::atomic<int32_t> m_i_Allocated;
    CUsbSerialProtocole* m_px_Link;
    SPipeEntry m_ax_Pipes[GESTVEK_PIPE_COUNT];
    std::atomic<int32_t> m_i_LastWriterPipe;
    HANDLE m_h_WriteMutex;
    std::atomic<int32_t> m_i_OpenError;

    std::atomic<int32_t> m_i_HoldCount;
    DWORD m_ul_HomeThreadId;
    // Set by Stop: the object is leaving the list and must not open or resume again.
    bool m_b_Stopped;
    // Serialises Allocate, Suspend, Resume, Stop and Release (see the header comment).
    CRITICAL_SECTION m_x_StateLock;
    // Held by the thread that opens the object, from the port's opening to the end of the
    // serial-number and run-level exchange, so that other threads asking for a pipe meanwhile
    // wait for the end instead of meddling with the exchange on pipe 0.
    CRITICAL_SECTION m_x_OpenLock;
    std::atomic<bool> m_b_Opened;
};

// One hold on a device object; drops it when it goes out of scope. Move-only.
class CGestVekHold {
public:
    CGestVekHold() = default;
    ~CGestVekHold() { Reset(); }
    CGestVekHold(CGestVekHold&& io_x_Other) noexcept : m_px_GestVek(io_x_Other.m_px_GestVek) {
        io_x_Other.m_px_GestVek = nullptr;
    }
    CGestVekHold& operator=(CGestVekHold&& io_x_Other) noexcept;
    CGestVekHold(const CGestVekHold&) = delete;
    CGestVekHold& operator=(const CGestVekHold&) = delete;

    CGestVek* Get() const { return m_px_GestVek; }
    CGestVek* operator->() const { return m_px_GestVek; }
    explicit operator bool() const { return m_px_GestVek != nullptr; }
    // Drops the hold now; may destroy the object (on its home thread) or hand it back.
    void Reset();

private:
    friend class CGestVek;
    friend class CGestVekSlot;
    // Takes over a hold already counted.
    explicit CGestVekHold(CGestVek* i_px_Adopted) : m_px_GestVek(i_px_Adopted) {}
    [[nodiscard]] CGestVek* Take() {
        CGestVek* l_px_GestVek = m_px_GestVek;
        m_px_GestVek = nullptr;
        return l_px_GestVek;
    }

    CGestVek* m_px_GestVek = nullptr;
};

// What a slot holds.
enum GestVek_SlotState { GESTVEK_SLOT_EMPTY, GESTVEK_SLOT_CREATING, GESTVEK_SLOT_HELD };

// The device-object field of a device-list entry: empty, the creation marker, or a listed
// object together with the list's hold on it. Any thread may Hold; only the home thread
// changes the slot (MarkCreating, Put, ClearCreating, Take, Remove) or Peeks into it.
class CGestVekSlot {
public:
    CGestVekSlot();
    // Drops the list's hold of an object still in the slot.
    ~CGestVekSlot();
    CGestVekSlot(const CGestVekSlot&) = delete;
    CGestVekSlot& operator=(const CGestVekSlot&) = delete;

    // Reads the slot and, when it holds an object, takes a hold on it, in one step.
    GestVek_SlotState Hold(CGestVekHold* o_px_Hold) const;

    // Empty slot to creation marker; false (nothing changed) when the slot is not empty.
    bool MarkCreating();
    // Marker to empty, when the object could not be built.
    void ClearCreating();
    // Lists the object: the slot takes over the hold.
    void Put(CGestVekHold&& io_x_Hold);
    // Unlists the object: the list's hold goes to the caller (empty when no object).
    CGestVekHold Take();
    // Take, Stop, and drop the list's hold: the removal of rule 4.
    void Remove();
    // The listed object, or NULL for the marker and an empty slot. Home thread only: the
    // list's hold keeps the object alive while it is in the slot.
    CGestVek* Peek() const;
    GestVek_SlotState GetState() const;

private:
    mutable SRWLOCK m_x_Lock;
    CGestVek* m_px_GestVek;
};

#endif
