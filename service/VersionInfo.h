#ifndef TULVO_SERVICE_VERSIONINFO_H
#define TULVO_SERVICE_VERSIONINFO_H

// Reads one string value ("FileVersion", ...) of the running executable's version resource.
// io_pc_String is an owned heap text (or NULL) that is released and replaced when the resource
// carries the value; commas in the value read as points ("1, 5, 0, 0" -> "1. 5. 0. 0").
// Returns the text now held (release it with free), or io_pc_String unchanged.
char* Serv_Tulvo_GetVersionInfoString(const char* i_pc_ValueName, char* io_pc_String);

#endif
