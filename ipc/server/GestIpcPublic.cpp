// The public channel and its receive thread come with the channel servers. Until then the
// run routine's calls open nothing: no client can reach the service yet.
#include "ipc/server/GestIpcPublic.h"

#include "service/TraceLog.h"

void TulvoServ_OpenGestIpcPublic(void) {
    TraceLog_Printf("TulvoServ_OpenGestIpcPublic: no public channel in this build\n");
}

void TulvoServ_CloseGestIpcPublic(void) {}
