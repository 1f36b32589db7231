// The few records a device object reads itself: the identifier of any frame, for routing and
// for the trace log, and the device's replies to the serial-number and run-level requests.
// Frames come from the device or from clients and may be of any length, so every reader here
// takes the byte count and never looks past it. Portable: no Win32 here.
#ifndef TULVO_DEVICE_MANAGER_GESTVEKRECORDS_H
#define TULVO_DEVICE_MANAGER_GESTVEKRECORDS_H

#include <stdint.h>

// The device's serial number as the service keeps it: 21 characters and 3 zero bytes.
#define GESTVEK_SERIAL_NUMBER_SIZE 24
#define GESTVEK_SERIAL_NUMBER_LENGTH 21
// Where the text starts in the value of a serial-number reply (after the status byte and three
// bytes the service does not use).
#define GESTVEK_SERIAL_NUMBER_OFFSET 4
// What a device that has not answered is taken to report.
#define GESTVEK_DEFAULT_SERIAL_DIGIT '0'
#define GESTVEK_UNKNOWN_RUN_LEVEL 0xFF
// The only run level at which frames 0x0170 and 0x0171 may be written.
#define GESTVEK_RUN_LEVEL_OPEN 1
#define GESTVEK_ILV_RUN_LEVEL_ONLY_1 0x0170
#define GESTVEK_ILV_RUN_LEVEL_ONLY_2 0x0171
// Room for the requests the service builds itself (an empty record is at most 5 bytes).
#define GESTVEK_REQUEST_SIZE 256

// True, with the identifier, when the i_ul_Length bytes hold the whole identifier field; false
// (identifier 0) for a frame too short for it: empty, FF without its second byte, or FE without
// its length field and extended identifier.
bool GestVek_GetFrameIdentifier(const uint8_t* i_puc_Frame, uint32_t i_ul_Length,
                                uint16_t* o_pus_Identifier);

// The identifier for the trace log: 0 for a frame too short to hold one.
uint16_t GestVek_FrameIdentifier(const uint8_t* i_puc_Frame, uint32_t i_ul_Length);

// Reads a run-level reply. *o_puc_RunLevel is GESTVEK_UNKNOWN_RUN_LEVEL unless the device
// answered with status 0. 0 (also for a non-zero device status); the ILV_Check status of a
// malformed record; TULVO_NO_RESPONSE for another identifier; TULVO_ILV_READ_OVERFLOW when the
// value lacks the byte the status calls for.
int32_t GestVek_ReadRunLevel(const uint8_t* i_puc_Reply, uint32_t i_ul_Length,
                             uint8_t* o_puc_RunLevel);

// Reads a serial-number reply into o_pc_Text (GESTVEK_SERIAL_NUMBER_SIZE bytes, or NULL).
// Every path that does not give the device's text gives 21 '0' characters. 0 for a text read,
// for an ILV_INVALID reply and for a non-zero device status; the ILV_Check status of a
// malformed record; TULVO_NO_RESPONSE for another identifier; TULVO_ILV_READ_OVERFLOW when the
// value is shorter than the text it must hold.
int32_t GestVek_ReadSerialNumber(const uint8_t* i_puc_Reply, uint32_t i_ul_Length, char* o_pc_Text);

// Writes the text a device that has not answered is taken to report.
void GestVek_DefaultSerialNumber(char* o_pc_Text);

#endif
