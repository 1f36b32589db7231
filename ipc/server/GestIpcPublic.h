// Process-wide entry points of the public channel server.
#ifndef TULVO_IPC_SERVER_GESTIPCPUBLIC_H
#define TULVO_IPC_SERVER_GESTIPCPUBLIC_H

// Opens the public channel server; failures are logged.
void TulvoServ_OpenGestIpcPublic(void);
// Stops the public server and every private channel; safe when never opened.
void TulvoServ_CloseGestIpcPublic(void);

#endif
