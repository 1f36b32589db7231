// The public channel and its receive thread come with the channel servers. Until then the
// run routine's calls open nothing: no client can reach the service yet.
#include "ipc/server/GestIpcPublic.h"

void TulvoServ_OpenGestIpcPublic(void) {}

void TulvoServ_CloseGestIpcPublic(void) {}
