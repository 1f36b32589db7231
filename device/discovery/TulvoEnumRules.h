// The text rules of device discovery: which devices are supported, the friendly-name rewrite,
// the serial number from an instance identifier and upper-casing. Byte-level code without
// Win32, shared by the service, the tools and the host tests.
#ifndef TULVO_DEVICE_DISCOVERY_TULVOENUMRULES_H
#define TULVO_DEVICE_DISCOVERY_TULVOENUMRULES_H

#include <stddef.h>

// The product line name: a friendly name that carries it is never rewritten.
#define TULVOENUM_PRODUCT_LINE_NAME "Ornivascope"

// Driver services of the supported devices: the system's USB serial driver and our own.
#define TULVOENUM_SERVICE_USBSER "usbser"
#define TULVOENUM_SERVICE_NALVACOMM "UsbNalvaComm"

#define TULVOENUM_SUPPORTED_COUNT 27
// "VID_vvvv&PID_pppp"
#define TULVOENUM_FRAGMENT_LENGTH 17
#define TULVOENUM_DISPLAYNAME_MAX 25
// Size of the buffer a rewritten friendly name is built in, terminating zero included.
#define TULVOENUM_FRIENDLYNAME_SIZE 128

// The marker of the child for interface 0 of a composite device.
#define TULVOENUM_COMPOSITE_MARKER "&MI_00\\"

// One row of the supported-device table.
typedef struct TulvoEnum_SupportedDevice {
    const char* m_pc_HardwareIdFragment; // "VID_vvvv&PID_pppp", upper-case hexadecimal
    const char* m_pc_DisplayName;        // at most TULVOENUM_DISPLAYNAME_MAX characters
} TulvoEnum_SupportedDevice;

// The constant table, TULVOENUM_SUPPORTED_COUNT rows, searched in row order.
extern const TulvoEnum_SupportedDevice g_ax_TulvoEnum_SupportedDevices[TULVOENUM_SUPPORTED_COUNT];

// Row index (0..26) of the first row whose fragment occurs in the hardware identifier, or -1.
// Logs "IsSupportedDevice_VID_PID %s\n".
int IsSupportedDevice_VID_PID(const char* i_pc_HardwareId);

// 1 when the driver service name is exactly "usbser" or "UsbNalvaComm" (case-sensitive, the
// whole name), else 0.
int TulvoEnum_IsAcceptedService(const char* i_pc_ServiceName);

// Tells whether a byte of the current ANSI code page starts a two-byte character.
typedef int (*TulvoEnum_PfIsLeadByte)(unsigned char i_uc_Byte);

// First occurrence of i_pc_Needle in i_pc_Text, never starting on the second byte of a
// two-byte character as i_pf_IsLeadByte tells them (no function: single-byte text). NULL
// when absent.
const char* TulvoEnum_FindText(const char* i_pc_Text, const char* i_pc_Needle,
                               TulvoEnum_PfIsLeadByte i_pf_IsLeadByte);

typedef enum TulvoEnum_RewriteChoice {
    TULVOENUM_REWRITE_DONE = 0,         // o_ac_NewName holds the new name
    TULVOENUM_REWRITE_HAS_PRODUCT_LINE, // already names the product line: left alone
    TULVOENUM_REWRITE_NO_PORT_SUFFIX,   // no "(": left alone
    TULVOENUM_REWRITE_TOO_LONG,         // the new name would not fit: left alone
    TULVOENUM_REWRITE_BAD_ROW           // no such row or no name
} TulvoEnum_RewriteChoice;

// Builds the friendly name of a device matched to row i_i_Row: the row's display name, a
// blank, then the old name from its first "(" on, in a zero-filled buffer. A name that
// would not fit with its terminating zero is not cut: the rewrite is skipped.
TulvoEnum_RewriteChoice TulvoEnum_BuildFriendlyName(int i_i_Row, const char* i_pc_FriendlyName,
                                                    TulvoEnum_PfIsLeadByte i_pf_IsLeadByte,
                                                    char o_ac_NewName[TULVOENUM_FRIENDLYNAME_SIZE]);

// Upper-cases ASCII letters in place up to the terminating zero or i_ul_Size bytes, whichever
// comes first, as the C locale's _strupr_s does.
void TulvoEnum_UpperCase(char* io_pc_Text, size_t i_ul_Size);

// Serial number from an identifier: a new allocation holding the text after its last
// backslash. TULVO_NO_SERIAL_NUMBER without a text or without a backslash, TULVO_NO_MEMORY
// (logged "GetSerialNumber_: malloc: *o_pp_SerialNumber").
int GetSerialNumber_(const unsigned char* i_puc_Identifier, unsigned char** o_pp_SerialNumber);

// For the child of interface 0 of a composite device, a new allocation holding the part of
// its identifier before "&MI_00\" (the parent's identifier without its instance component):
// returns 0. Returns 1 (nothing allocated) for any other identifier, TULVO_NO_MEMORY when
// the copy cannot be allocated.
int TulvoEnum_CopyCompositeEnumerator(const unsigned char* i_puc_InstanceId,
                                      unsigned char** o_ppuc_Enumerator);

#endif
