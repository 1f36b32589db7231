// Enumeration of the supported devices through SetupAPI, and the device properties of one of
// them. Win32 only; the text rules it applies are in TulvoEnumRules.h.
#ifndef TULVO_DEVICE_DISCOVERY_TULVOENUM_H
#define TULVO_DEVICE_DISCOVERY_TULVOENUM_H

#include "device/discovery/TulvoDeviceProperties.h"
#include "device/discovery/TulvoEnumRules.h"
#include "device/discovery/TulvoRegistry.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

// Walks the set from element *io_pul_MemberIndex on. Returns 1 when a supported device was
// found: o_px_DevInfoData describes it, the port buffer holds its port name in upper case
// (a growing buffer, see TulvoRegistry.h) and the index points past it. Returns 0 when the
// set holds no further supported device. Rewrites the friendly name of every supported
// device it meets whose name lacks the product line name.
int TulvoEnum_FoundNextVek(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* o_px_DevInfoData,
                           DWORD* io_pul_MemberIndex, unsigned char** io_ppuc_PortName,
                           DWORD* io_pul_PortNameSize);

// True when a supported device with that port name is among the devices of all classes
// (with i_ul_Flags DIGCF_PRESENT: among the present ones). Upper-cases the caller's name in
// place.
bool TulvoEnum_IsVekPort(char* io_pc_PortName, DWORD i_ul_Flags);

// Fills the record for the present supported device with that port name (upper-cased in
// place). 0, the status of TulvoEnum_FillDeviceProperties, or TULVO_DEVICE_NOT_PRESENT.
int TulvoEnum_GetPropertiesByPort(char* io_pc_PortName,
                                  TulvoEnum_DeviceProperties* o_px_Properties);

// Reads the four texts of one device. 0; TULVO_PORT_NOT_OPEN without set or element;
// TULVO_SYSTEM_ERROR when the instance id, the port name or the description cannot be read;
// the status of TulvoEnum_GetSerialNumber. What was read before a failure stays in the record.
int TulvoEnum_FillDeviceProperties(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                                   TulvoEnum_DeviceProperties* o_px_Properties);

// Serial number of the device: the last component of its instance id, or of its parent's for
// the child of interface 0 of a composite device. 0, TULVO_NO_MEMORY,
// TULVO_NO_SERIAL_NUMBER, or the status of TulvoEnum_GetParentInstanceId.
int TulvoEnum_GetSerialNumber(SP_DEVINFO_DATA* i_px_DevInfoData,
                              const unsigned char* i_puc_InstanceId,
                              unsigned char** o_ppuc_SerialNumber);

// Instance id of the device's parent among the present USB-class devices found under the
// enumerator. 0, TULVO_SYSTEM_ERROR, TULVO_DEVICE_NOT_FOUND (no such parent).
int TulvoEnum_GetParentInstanceId(SP_DEVINFO_DATA* i_px_DevInfoData, const char* i_pc_Enumerator,
                                  unsigned char** o_ppuc_ParentInstanceId);

// Reads the "PortName" value of the device's hardware key into a new text (released before:
// the caller's previous text), in the case it is stored in. True when it was read.
bool TulvoEnum_GetPortName(HDEVINFO i_h_DevInfo, SP_DEVINFO_DATA* i_px_DevInfoData,
                           unsigned char** io_ppuc_PortName);

// The parent lookup of composite devices. By default CM_Get_Parent is looked up in the loaded
// "SetupApi.dll" at every call; a test that runs where that call cannot answer (Wine) puts a
// stand-in of the same signature here. NULL restores the default.
typedef CONFIGRET(WINAPI* TulvoEnum_PfGetParent)(PDEVINST o_px_Parent, DEVINST i_x_Child,
                                                 ULONG i_ul_Flags);
void TulvoEnum_SetGetParentSeam(TulvoEnum_PfGetParent i_pf_GetParent);

#endif
