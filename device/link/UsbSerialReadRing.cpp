#include "device/link/UsbSerialReadRing.h"

#include <stdlib.h>
#include <string.h>

CUsbSerialReadRing::CUsbSerialReadRing() : m_ax_Reads{} {}

CUsbSerialReadRing::~CUsbSerialReadRing() {
    for (SRead& l_x_Read : m_ax_Reads) {
        if (l_x_Read.m_b_Outstanding) {
            continue;
        }
        free(l_x_Read.m_px_Block);
        if (l_x_Read.m_h_Event != nullptr) {
            CloseHandle(l_x_Read.m_h_Event);
        }
    }
}

bool CUsbSerialReadRing::Allocate(uint32_t i_ul_Index) {
    SRead& l_x_Read = m_ax_Reads[i_ul_Index];
    l_x_Read.m_px_Block = static_cast<SReadBlock*>(malloc(sizeof(SReadBlock)));
    l_x_Read.m_h_Event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return l_x_Read.m_px_Block != nullptr && l_x_Read.m_h_Event != nullptr;
}

bool CUsbSerialReadRing::Start(CUsbSerialPort& io_x_Port, uint32_t i_ul_Index, uint32_t i_ul_Size) {
    SRead& l_x_Read = m_ax_Reads[i_ul_Index];
    OVERLAPPED* l_px_Overlapped = &l_x_Read.m_px_Block->m_x_Overlapped;
    memset(l_px_Overlapped, 0, sizeof(*l_px_Overlapped));
    l_px_Overlapped->hEvent = l_x_Read.m_h_Event;
    bool l_b_Started = false;
    io_x_Port.Use(
        [&](HANDLE i_h_Port) {
            l_b_Started =
                ReadFile(i_h_Port, l_x_Read.m_px_Block->m_auc_Data,
                         i_ul_Size < USBSERIAL_READ_SIZE ? i_ul_Size : USBSERIAL_READ_SIZE, nullptr,
                         l_px_Overlapped) ||
                GetLastError() == ERROR_IO_PENDING;
            l_x_Read.m_h_Port = i_h_Port;
        },
        &l_x_Read.m_ul_Generation);
    l_x_Read.m_b_Outstanding = l_b_Started;
    return l_b_Started;
}

bool CUsbSerialReadRing::AnyOutstanding() const {
    for (const SRead& l_x_Read : m_ax_Reads) {
        if (l_x_Read.m_b_Outstanding) {
            return true;
        }
    }
    return false;
}

bool CUsbSerialReadRing::Collect(uint32_t i_ul_Index, uint32_t* o_pul_Count) {
    SRead& l_x_Read = m_ax_Reads[i_ul_Index];
    l_x_Read.m_b_Outstanding = false;
    DWORD l_ul_Count = 0;
    const BOOL l_b_Done = GetOverlappedResult(
        l_x_Read.m_h_Port, &l_x_Read.m_px_Block->m_x_Overlapped, &l_ul_Count, FALSE);
    *o_pul_Count = l_ul_Count;
    return l_b_Done != FALSE;
}

const uint8_t* CUsbSerialReadRing::GetBytes(uint32_t i_ul_Index) const {
    return m_ax_Reads[i_ul_Index].m_px_Block->m_auc_Data;
}

bool CUsbSerialReadRing::Drain(CUsbSerialPort& io_x_Port, uint32_t i_ul_LimitMs) {
    HANDLE l_ah_Outstanding[USBSERIAL_READ_COUNT];
    DWORD l_ul_Outstanding = 0;
    uint32_t l_ul_Generation = 0;
    for (const SRead& l_x_Read : m_ax_Reads) {
        if (l_x_Read.m_b_Outstanding) {
            l_ah_Outstanding[l_ul_Outstanding++] = l_x_Read.m_h_Event;
            l_ul_Generation = l_x_Read.m_ul_Generation;
        }
    }
    if (l_ul_Outstanding == 0) {
        return true;
    }
    // A port closed since the reads started has ended them already.
    UsbSerial_WaitCancelling(l_ah_Outstanding, l_ul_Outstanding, i_ul_LimitMs, [&] {
        io_x_Port.UseIfStill(l_ul_Generation, [](HANDLE i_h_Port) { ::CancelIo(i_h_Port); });
    });
    bool l_b_Drained = true;
    for (SRead& l_x_Read : m_ax_Reads) {
        if (l_x_Read.m_b_Outstanding) {
            l_x_Read.m_b_Outstanding =
                !HasOverlappedIoCompleted(&l_x_Read.m_px_Block->m_x_Overlapped);
            l_b_Drained = l_b_Drained && !l_x_Read.m_b_Outstanding;
        }
    }
    return l_b_Drained;
}
