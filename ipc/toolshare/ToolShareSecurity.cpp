// Access security of the named objects: a DACL of five well-known SIDs and a low-integrity
// label, so that interactive users' processes, services and (from Vista on) low-integrity
// processes can open what the service, running as LocalSystem, creates.
//
// The security functions are looked up in ADVAPI32 at run time rather than bound at link
// time, so that the module loads on systems that lack some of them. Each group is resolved
// once per process; while the module itself cannot be found, the next call tries again.
#include "ipc/toolshare/ToolShare.h"

#include <accctrl.h>

#include <mutex>

namespace {

typedef BOOL(WINAPI* PF_AllocateAndInitializeSid)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD,
                                                  DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, PSID*);
typedef DWORD(WINAPI* PF_GetLengthSid)(PSID);
typedef PVOID(WINAPI* PF_FreeSid)(PSID);
typedef BOOL(WINAPI* PF_InitializeAcl)(PACL, DWORD, DWORD);
typedef BOOL(WINAPI* PF_AddAccessAllowedAce)(PACL, DWORD, DWORD, PSID);
typedef BOOL(WINAPI* PF_InitializeSecurityDescriptor)(PSECURITY_DESCRIPTOR, DWORD);
typedef BOOL(WINAPI* PF_SetSecurityDescriptorDacl)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
typedef BOOL(WINAPI* PF_SetKernelObjectSecurity)(HANDLE, SECURITY_INFORMATION,
                                                 PSECURITY_DESCRIPTOR);
typedef BOOL(WINAPI* PF_ConvertStringSecurityDescriptorToSecurityDescriptorW)(LPCWSTR, DWORD,
                                                                              PSECURITY_DESCRIPTOR*,
                                                                              PULONG);
typedef BOOL(WINAPI* PF_GetSecurityDescriptorSacl)(PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL);
typedef DWORD(WINAPI* PF_SetSecurityInfo)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID,
                                          PACL, PACL);

// Process-wide results of the look-ups, written under the lock and read after it.
struct ToolShare_SecurityFunctions {
    HMODULE m_h_Advapi;
    bool m_b_Group1Done;
    bool m_b_Group2Done;
    bool m_b_Group3Done;
    PF_AllocateAndInitializeSid pf_AllocateAndInitializeSid;
    PF_GetLengthSid pf_GetLengthSid;
    PF_FreeSid pf_FreeSid;
    PF_InitializeAcl pf_InitializeAcl;
    PF_AddAccessAllowedAce pf_AddAccessAllowedAce;
    PF_InitializeSecurityDescriptor pf_InitializeSecurityDescriptor;
    PF_SetSecurityDescriptorDacl pf_SetSecurityDescriptorDacl;
    PF_SetKernelObjectSecurity pf_SetKernelObjectSecurity;
    PF_ConvertStringSecurityDescriptorToSecurityDescriptorW
        pf_ConvertStringSecurityDescriptorToSecurityDescriptorW;
    PF_GetSecurityDescriptorSacl pf_GetSecurityDescriptorSacl;
    PF_SetSecurityInfo pf_SetSecurityInfo;
};

std::mutex g_x_ResolveLock;
ToolShare_SecurityFunctions g_x_Fn = {};

template <typename T> void Resolve(T* o_ppf_Function, const char* i_pc_Name) {
    *o_ppf_Function =
        reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(g_x_Fn.m_h_Advapi, i_pc_Name)));
}

// Finds ADVAPI32 once; a failed look-up is not remembered, so a later call retries.
bool FindAdvapi() {
    if (g_x_Fn.m_h_Advapi == nullptr) {
        g_x_Fn.m_h_Advapi = GetModuleHandleA("ADVAPI32.DLL");
    }
    return g_x_Fn.m_h_Advapi != nullptr;
}

// Each returns true when every function of its group was found.
bool ResolveGroup1() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_ResolveLock);
    if (!g_x_Fn.m_b_Group1Done && FindAdvapi()) {
        Resolve(&g_x_Fn.pf_AllocateAndInitializeSid, "AllocateAndInitializeSid");
        Resolve(&g_x_Fn.pf_GetLengthSid, "GetLengthSid");
        Resolve(&g_x_Fn.pf_FreeSid, "FreeSid");
        Resolve(&g_x_Fn.pf_InitializeAcl, "InitializeAcl");
        Resolve(&g_x_Fn.pf_AddAccessAllowedAce, "AddAccessAllowedAce");
        Resolve(&g_x_Fn.pf_InitializeSecurityDescriptor, "InitializeSecurityDescriptor");
        Resolve(&g_x_Fn.pf_SetSecurityDescriptorDacl, "SetSecurityDescriptorDacl");
        g_x_Fn.m_b_Group1Done = true;
    }
    return g_x_Fn.pf_AllocateAndInitializeSid != nullptr && g_x_Fn.pf_GetLengthSid != nullptr &&
           g_x_Fn.pf_FreeSid != nullptr && g_x_Fn.pf_InitializeAcl != nullptr &&
           g_x_Fn.pf_AddAccessAllowedAce != nullptr &&
           g_x_Fn.pf_InitializeSecurityDescriptor != nullptr &&
           g_x_Fn.pf_SetSecurityDescriptorDacl != nullptr;
}

bool ResolveGroup2() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_ResolveLock);
    if (!g_x_Fn.m_b_Group2Done && FindAdvapi()) {
        Resolve(&g_x_Fn.pf_SetKernelObjectSecurity, "SetKernelObjectSecurity");
        g_x_Fn.m_b_Group2Done = true;
    }
    return g_x_Fn.pf_SetKernelObjectSecurity != nullptr;
}

bool ResolveGroup3() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_ResolveLock);
    if (!g_x_Fn.m_b_Group3Done && FindAdvapi()) {
        Resolve(&g_x_Fn.pf_ConvertStringSecurityDescriptorToSecurityDescriptorW,
                "ConvertStringSecurityDescriptorToSecurityDescriptorW");
        Resolve(&g_x_Fn.pf_GetSecurityDescriptorSacl, "GetSecurityDescriptorSacl");
        Resolve(&g_x_Fn.pf_SetSecurityInfo, "SetSecurityInfo");
        g_x_Fn.m_b_Group3Done = true;
    }
    return g_x_Fn.pf_ConvertStringSecurityDescriptorToSecurityDescriptorW != nullptr &&
           g_x_Fn.pf_GetSecurityDescriptorSacl != nullptr && g_x_Fn.pf_SetSecurityInfo != nullptr;
}

// The Windows 9x family sets the top bit of GetVersion's result.
bool IsWin9x() {
    return (GetVersion() & 0x80000000u) != 0;
}

enum { SID_INTERACTIVE, SID_LOCALSYSTEM, SID_SERVICE, SID_ADMINISTRATORS, SID_EVERYONE, SID_COUNT };

} // namespace

bool ToolShare_UseGlobalNames(void) {
    OSVERSIONINFOA l_x_Version = {};
    l_x_Version.dwOSVersionInfoSize = 148;
    static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA size");
    if (!GetVersionExA(&l_x_Version)) {
        return false;
    }
    return l_x_Version.dwPlatformId == VER_PLATFORM_WIN32_NT && l_x_Version.dwMajorVersion >= 5;
}

int ToolShare_BuildSecurityDescriptor(PSECURITY_DESCRIPTOR* o_ppx_Descriptor, PACL* o_ppx_Acl,
                                      DWORD i_ul_Mask) {
    if (o_ppx_Descriptor == nullptr || o_ppx_Acl == nullptr) {
        return 0;
    }
    *o_ppx_Descriptor = nullptr;
    *o_ppx_Acl = nullptr;
    if (IsWin9x()) {
        return 1;
    }
    if (!ResolveGroup1()) {
        return 0;
    }

    PSECURITY_DESCRIPTOR l_px_Descriptor = LocalAlloc(LMEM_ZEROINIT, 40);
    if (l_px_Descriptor == nullptr) {
        return 0;
    }

    SID_IDENTIFIER_AUTHORITY l_x_NtAuthority = {SECURITY_NT_AUTHORITY};
    SID_IDENTIFIER_AUTHORITY l_x_WorldAuthority = {SECURITY_WORLD_SID_AUTHORITY};
    PSID l_apx_Sid[SID_COUNT] = {};
    g_x_Fn.pf_AllocateAndInitializeSid(&l_x_NtAuthority, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0,
                                       0, 0, &l_apx_Sid[SID_INTERACTIVE]);
    g_x_Fn.pf_AllocateAndInitializeSid(&l_x_NtAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0,
                                       0, 0, 0, &l_apx_Sid[SID_LOCALSYSTEM]);
    g_x_Fn.pf_AllocateAndInitializeSid(&l_x_NtAuthority, 1, SECURITY_SERVICE_RID, 0, 0, 0, 0, 0, 0,
                                       0, &l_apx_Sid[SID_SERVICE]);
    g_x_Fn.pf_AllocateAndInitializeSid(&l_x_NtAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                       DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                       &l_apx_Sid[SID_ADMINISTRATORS]);
    g_x_Fn.pf_AllocateAndInitializeSid(&l_x_WorldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0,
                                       0, &l_apx_Sid[SID_EVERYONE]);

    DWORD l_ul_AclSize = 8;
    bool l_b_Any = false;
    for (PSID l_px_Sid : l_apx_Sid) {
        if (l_px_Sid != nullptr) {
            l_ul_AclSize += 8 + g_x_Fn.pf_GetLengthSid(l_px_Sid);
            l_b_Any = true;
        }
    }

    PACL l_px_Acl = nullptr;
    bool l_b_Ok = l_b_Any;
    if (l_b_Ok) {
        l_px_Acl = static_cast<PACL>(HeapAlloc(GetProcessHeap(), 0, l_ul_AclSize));
        l_b_Ok = l_px_Acl != nullptr &&
                 g_x_Fn.pf_InitializeAcl(l_px_Acl, l_ul_AclSize, ACL_REVISION) != FALSE;
    }
    // Only the system accounts may delete the object or change its owner or access list: a
    // user given those rights could shut every other client out until the service restarts.
    const DWORD l_ul_Full = i_ul_Mask | STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL;
    const struct {
        int m_i_Sid;
        DWORD m_ul_Mask;
    } l_ax_Entries[] = {
        {SID_LOCALSYSTEM, l_ul_Full}, {SID_SERVICE, l_ul_Full},  {SID_ADMINISTRATORS, i_ul_Mask},
        {SID_INTERACTIVE, i_ul_Mask}, {SID_EVERYONE, i_ul_Mask},
    };
    for (const auto& l_x_Entry : l_ax_Entries) {
        if (!l_b_Ok) {
            break;
        }
        if (l_apx_Sid[l_x_Entry.m_i_Sid] != nullptr) {
            l_b_Ok = g_x_Fn.pf_AddAccessAllowedAce(l_px_Acl, ACL_REVISION, l_x_Entry.m_ul_Mask,
                                                   l_apx_Sid[l_x_Entry.m_i_Sid]) != FALSE;
        }
    }
    if (l_b_Ok) {
        l_b_Ok =
            g_x_Fn.pf_InitializeSecurityDescriptor(l_px_Descriptor, SECURITY_DESCRIPTOR_REVISION) !=
                FALSE &&
            g_x_Fn.pf_SetSecurityDescriptorDacl(l_px_Descriptor, TRUE, l_px_Acl, FALSE) != FALSE;
    }

    for (PSID l_px_Sid : l_apx_Sid) {
        if (l_px_Sid != nullptr) {
            g_x_Fn.pf_FreeSid(l_px_Sid);
        }
    }
    if (!l_b_Ok) {
        if (l_px_Acl != nullptr) {
            HeapFree(GetProcessHeap(), 0, l_px_Acl);
        }
        LocalFree(l_px_Descriptor);
        return 0;
    }
    *o_ppx_Descriptor = l_px_Descriptor;
    *o_ppx_Acl = l_px_Acl;
    return 1;
}

int ToolShare_SetObjectDacl(HANDLE i_h_Object, DWORD i_ul_Mask) {
    if (IsWin9x()) {
        return 1;
    }
    PSECURITY_DESCRIPTOR l_px_Descriptor = nullptr;
    PACL l_px_Acl = nullptr;
    if (!ToolShare_BuildSecurityDescriptor(&l_px_Descriptor, &l_px_Acl, i_ul_Mask)) {
        return 0;
    }
    int l_i_Result = 0;
    if (ResolveGroup2()) {
        l_i_Result = g_x_Fn.pf_SetKernelObjectSecurity(i_h_Object, DACL_SECURITY_INFORMATION,
                                                       l_px_Descriptor)
                         ? 1
                         : 0;
    }
    LocalFree(l_px_Descriptor);
    HeapFree(GetProcessHeap(), 0, l_px_Acl);
    return l_i_Result;
}

int ToolShare_SetLowIntegrityLabel(HANDLE i_h_Object) {
    DWORD l_ul_Version = GetVersion();
    if ((l_ul_Version & 0x80000000u) != 0 || (l_ul_Version & 0xFF) < 6) {
        return 1;
    }
    if (!ResolveGroup3()) {
        return 0;
    }
    // A mandatory label: low integrity, no write-up.
    PSECURITY_DESCRIPTOR l_px_Descriptor = nullptr;
    if (!g_x_Fn.pf_ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"S:(ML;;NW;;;LW)", 1, &l_px_Descriptor, nullptr)) {
        return 0;
    }
    int l_i_Result = 0;
    PACL l_px_Sacl = nullptr;
    BOOL l_b_Present = FALSE;
    BOOL l_b_Defaulted = FALSE;
    if (g_x_Fn.pf_GetSecurityDescriptorSacl(l_px_Descriptor, &l_b_Present, &l_px_Sacl,
                                            &l_b_Defaulted)) {
        l_i_Result =
            g_x_Fn.pf_SetSecurityInfo(i_h_Object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, l_px_Sacl) == ERROR_SUCCESS
                ? 1
                : 0;
    }
    LocalFree(l_px_Descriptor);
    return l_i_Result;
}
