#include "service/VersionInfo.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char* Serv_Tulvo_GetVersionInfoString(const char* i_pc_ValueName, char* io_pc_String) {
    if (i_pc_ValueName == nullptr) {
        return io_pc_String;
    }
    char l_ac_Path[256];
    const DWORD l_ul_PathLen = GetModuleFileNameA(nullptr, l_ac_Path, sizeof(l_ac_Path));
    // A cut path would name another file or none: no version then.
    if (l_ul_PathLen == 0 || l_ul_PathLen >= sizeof(l_ac_Path)) {
        return io_pc_String;
    }
    DWORD l_ul_Handle = 0;
    const DWORD l_ul_Size = GetFileVersionInfoSizeA(l_ac_Path, &l_ul_Handle);
    if (l_ul_Size == 0) {
        return io_pc_String;
    }
    void* l_p_Info = malloc(l_ul_Size);
    if (l_p_Info == nullptr) {
        return io_pc_String;
    }
    if (GetFileVersionInfoA(l_ac_Path, 0, l_ul_Size, l_p_Info)) {
        const WORD* l_pus_Translations = nullptr;
        UINT l_ul_TranslationsLen = 0;
        if (VerQueryValueA(l_p_Info, "\\VarFileInfo\\Translation",
                           reinterpret_cast<LPVOID*>(const_cast<WORD**>(&l_pus_Translations)),
                           &l_ul_TranslationsLen) &&
            l_pus_Translations != nullptr) {
            // The last translation that carries the value wins.
            for (UINT l_ul = 0; l_ul + 4 <= l_ul_TranslationsLen; l_ul += 4) {
                char l_ac_Query[256];
                snprintf(l_ac_Query, sizeof(l_ac_Query), "\\StringFileInfo\\%04x%04x\\%s",
                         l_pus_Translations[l_ul / 2], l_pus_Translations[l_ul / 2 + 1],
                         i_pc_ValueName);
                char* l_pc_Value = nullptr;
                UINT l_ul_ValueLen = 0;
                if (!VerQueryValueA(l_p_Info, l_ac_Query, reinterpret_cast<LPVOID*>(&l_pc_Value),
                                    &l_ul_ValueLen) ||
                    l_pc_Value == nullptr || l_ul_ValueLen == 0) {
                    continue;
                }
                // The reported length counts the terminator on Windows; a copy one longer
                // stays terminated whatever the resource holds.
                char* l_pc_Copy = static_cast<char*>(malloc(l_ul_ValueLen + 1));
                if (l_pc_Copy == nullptr) {
                    continue;
                }
                memcpy(l_pc_Copy, l_pc_Value, l_ul_ValueLen);
                l_pc_Copy[l_ul_ValueLen] = '\0';
                for (char* l_pc = l_pc_Copy; *l_pc != '\0'; ++l_pc) {
                    if (*l_pc == ',') {
                        *l_pc = '.';
                    }
                }
                free(io_pc_String);
                io_pc_String = l_pc_Copy;
            }
        }
    }
    free(l_p_Info);
    return io_pc_String;
}
