// The device properties record: the four texts that describe one supported device to the
// rest of the system (device object, ENUMDEVICES, client library). Portable: no Win32 here.
#ifndef TULVO_DEVICE_DISCOVERY_TULVODEVICEPROPERTIES_H
#define TULVO_DEVICE_DISCOVERY_TULVODEVICEPROPERTIES_H

// Four separately allocated, zero-terminated texts owned by the record, in the order of the
// ENUMDEVICES response. An empty record has four null references.
typedef struct TulvoEnum_DeviceProperties {
    unsigned char* m_puc_InstanceId;   // USB\VID_vvvv&PID_pppp\serial
    unsigned char* m_puc_SerialNumber; // last component of the (parent's) instance id
    unsigned char* m_puc_FriendlyName; // the device description, not SPDRP_FRIENDLYNAME
    unsigned char* m_puc_DevicePath;   // the port name, such as COM5
} TulvoEnum_DeviceProperties;

// Copies every text of the source into fresh allocations. 0, TULVO_BAD_PARAMETER without a
// source (or without an out record), TULVO_NO_MEMORY (the out record is then left empty). A
// text the source lacks stays absent in the copy.
int TulvoEnum_CopyDeviceProperties(TulvoEnum_DeviceProperties* o_px_Properties,
                                   const TulvoEnum_DeviceProperties* i_px_Source);

// Releases the four texts and clears the references; nothing without a record. Returns 0.
int TulvoEnum_FreeDeviceProperties(TulvoEnum_DeviceProperties* io_px_Properties);

#endif
