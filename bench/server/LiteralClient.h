// A client end of the transport written step by step from the channel transfer rules, the way
// an application that ships an older client library does it: the section mapped and unmapped
// for every chunk, every event tested and reset on its own, the Running event tested before
// every chunk. For the benchmark only, to see what such a client costs the service.
#ifndef TULVO_BENCH_SERVER_LITERALCLIENT_H
#define TULVO_BENCH_SERVER_LITERALCLIENT_H

#include <windows.h>

#include <stdint.h>

#include <vector>

namespace literal {

struct SChannel {
    HANDLE m_h_Lock = nullptr;
    HANDLE m_h_Peer = nullptr;
    HANDLE m_h_Running = nullptr;
    HANDLE m_h_Incoming = nullptr; // Send
    HANDLE m_h_Outgoing = nullptr; // Recv
    HANDLE m_h_Section = nullptr;
    uint32_t m_ul_SectionSize = 0;
};

// Kernel calls this client has made so far (waits, event changes, mappings).
uint32_t KernelCalls();

// Opens the public channel of that base name ("Global\" names) and its Lock mutex.
int32_t PublicConnect(const char* i_pc_BaseName, SChannel* o_px_Channel);
int32_t Lock(SChannel* io_px_Channel, uint32_t i_ul_Timeout);
void Unlock(SChannel* io_px_Channel);
// The private-connection request and reply, read into a 64-byte buffer.
int32_t AcquirePrivate(SChannel* io_px_Public, SChannel* o_px_Private, uint32_t i_ul_Timeout);
void Close(SChannel* io_px_Channel);

int32_t Write(SChannel* io_px_Channel, const uint8_t* i_puc_Data, uint32_t i_ul_Length,
              uint32_t i_ul_Timeout);
int32_t WaitData(SChannel* io_px_Channel, uint32_t i_ul_Timeout);
int32_t ReadLenData(SChannel* io_px_Channel, uint32_t* o_pul_Length, uint32_t i_ul_Timeout);
int32_t ReadData(SChannel* io_px_Channel, uint8_t* o_puc_Data, uint32_t i_ul_Length,
                 uint32_t i_ul_Timeout);
// Write, then wait, read the length and read the message.
int32_t Exchange(SChannel* io_px_Channel, const std::vector<uint8_t>& i_x_Request,
                 std::vector<uint8_t>* o_px_Response, uint32_t i_ul_Timeout);

} // namespace literal

#endif
