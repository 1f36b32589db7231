// Registry and SetupAPI reads into caller-owned growing buffers, and the registry dump that
// the device monitor writes into the trace log. Win32 only.
#ifndef TULVO_DEVICE_DISCOVERY_TULVOREGISTRY_H
#define TULVO_DEVICE_DISCOVERY_TULVOREGISTRY_H

#include <windows.h>
#include <setupapi.h>

// Growing buffers: a heap block and its size, kept by the caller across calls (start with
// NULL and 0, release with free). A read replaces the block by a larger one when the data
// does not fit and never shrinks it. Every successful read that brings data stores
// TULVOREG_BUFFER_SLACK zero bytes right after it, inside the size the block is known by: a
// string stored without its terminating zero (possible in the registry) is still terminated,
// a multi-string doubly so. A block without room for data and zeros is replaced, never
// written past; a block these reads allocate holds the data and the zeros.
#define TULVOREG_BUFFER_SLACK 2

// Reads a registry value. The size goes in as the block's size and comes back as the number
// of bytes read (the block itself is kept); an empty value read without a block gives none.
// On failure the thread's last system error holds the registry status.
bool MyRegQueryValueEx(HKEY i_h_Key, const char* i_pc_ValueName, unsigned char** io_ppuc_Buffer,
                       DWORD* io_pul_Size);

// Reads a device registry property (SPDRP_...). The size stays the block's size. A missing
// property (ERROR_INVALID_DATA) fails without a log line.
bool MySetupDiGetDeviceRegistryProperty(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                                        DWORD i_ul_Property, unsigned char** io_ppuc_Buffer,
                                        DWORD* io_pul_Size);

// Reads a device instance identifier.
bool MySetupDiGetDeviceInstanceId(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                                  unsigned char** io_ppuc_Buffer, DWORD* io_pul_Size);

// Writes one trace-log message "Registry dump :\n" followed by the key root\path, its values
// and all its subkeys. Never fails towards the caller.
void RegistryDump(HKEY i_h_Root, const char* i_pc_Path);

// Appends the header line of root\path, its values and its subkeys to the heap text
// *io_ppc_Text (*io_pul_Size is its allocated size). Returns the registry status of opening
// the key.
LONG RegistryDumpKey(HKEY i_h_Root, const char* i_pc_Path, char** io_ppc_Text, DWORD* io_pul_Size);

// Appends one line per value of the open key: "\"name\"=data\n" for strings (the first
// string of a multi-string), "\"name\"=bin\n" for any other type.
void RegistryDumpValues(HKEY i_h_Key, char** io_ppc_Text, DWORD* io_pul_Size);

#endif
