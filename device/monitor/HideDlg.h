// Process-wide entry points of the device monitor.
#ifndef TULVO_DEVICE_MONITOR_HIDEDLG_H
#define TULVO_DEVICE_MONITOR_HIDEDLG_H

#include <stdint.h>

// Creates the device monitor; returns its status (0 when it runs).
int32_t TulvoServ_OpenHideDlg(int32_t i_i_OpenAllowed);
// Destroys the device monitor; safe when it was never opened or failed to open.
void TulvoServ_CloseHideDlg(void);

#endif
