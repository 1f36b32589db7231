// The device monitor's window thread, device list and reboot coordination come with the
// device monitor itself. Until then the run routine's calls open nothing, and the service
// runs without devices.
#include "device/monitor/HideDlg.h"

int32_t TulvoServ_OpenHideDlg(int32_t i_i_OpenAllowed) {
    (void)i_i_OpenAllowed;
    return 0;
}

void TulvoServ_CloseHideDlg(void) {}
