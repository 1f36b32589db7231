// Helpers for the device discovery tests under Wine: a stand-in for CM_Get_Parent (a stub in
// Wine) and the fake devices every test cleans up.
#ifndef TULVO_TESTS_DEVICE_DISCOVERY_DISCOVERYTESTSUPPORT_H
#define TULVO_TESTS_DEVICE_DISCOVERY_DISCOVERYTESTSUPPORT_H

#include "tests/common/TraceCapture.h"
#include "tools/devtree/DevTree.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <string>
#include <vector>

namespace discovery_test {

// Every fake device of these tests has this text in its instance id.
#define DISCOVERY_TEST_TAG "TLVDISC"

// Removes every fake device of these tests (and leftovers of a crashed run).
void RemoveTestDevices();

// Adds a device, failing the current test when that does not work.
void AddDevice(const DevTree_Device& i_x_Device);

// A supported Ports-class device on "usbser": instance id USB\<fragment>\<serial>.
DevTree_Device SupportedDevice(const std::string& i_x_Fragment, const std::string& i_x_Serial,
                               const std::string& i_x_Port);

// The stand-in for CM_Get_Parent: answers the parent registered for a child instance id with
// a device instance handle of that parent (any device class), CR_NO_SUCH_DEVNODE otherwise.
void StandInParent(const std::string& i_x_ChildId, const std::string& i_x_ParentId);
CONFIGRET WINAPI StandInGetParent(PDEVINST o_px_Parent, DEVINST i_x_Child, ULONG i_ul_Flags);
// Forgets the registered parents and releases the handles handed out.
void ResetStandIn();

} // namespace discovery_test

#endif
