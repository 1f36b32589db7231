// Recovery after a crash: the Service Control Manager restarts a service that ends without
// reporting its stop only when the service's failure actions say so. The MSI cannot set them
// (wixl has no element for them), so the service sets them on itself, once it runs, when it
// finds none: restart after 5 s, twice, then after 60 s, the count of failures reset after a
// day. An administrator's own actions, any at all, are left as they are.
#include "service/ServiceLifecycle.h"

#include "service/TraceLog.h"

#include <stdlib.h>

namespace {

const DWORD SERV_TULVO_RESTART_DELAYS_MS[] = {5000, 5000, 60000};
const DWORD SERV_TULVO_FAILURE_RESET_S = 24 * 60 * 60;

class CServiceHandle {
public:
    explicit CServiceHandle(SC_HANDLE i_h_Handle) : m_h_Handle(i_h_Handle) {}
    ~CServiceHandle() {
        if (m_h_Handle != nullptr) {
            CloseServiceHandle(m_h_Handle);
        }
    }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;
    SC_HANDLE Get() const { return m_h_Handle; }

private:
    SC_HANDLE m_h_Handle;
};

// 1 when the service has failure actions, 0 when it has none, -1 when they cannot be read
// (wine's control manager does not implement the query).
int HasFailureActions(SC_HANDLE i_h_Service) {
    DWORD l_ul_Needed = 0;
    QueryServiceConfig2A(i_h_Service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &l_ul_Needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || l_ul_Needed == 0) {
        TraceLog_SysError("Serv_Tulvo_SetFailureActions : QueryServiceConfig2");
        return -1;
    }
    BYTE* const l_puc_Config = static_cast<BYTE*>(malloc(l_ul_Needed));
    if (l_puc_Config == nullptr) {
        return -1;
    }
    int l_i_Has = -1;
    if (QueryServiceConfig2A(i_h_Service, SERVICE_CONFIG_FAILURE_ACTIONS, l_puc_Config, l_ul_Needed,
                             &l_ul_Needed)) {
        l_i_Has = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(l_puc_Config)->cActions > 0 ? 1 : 0;
    } else {
        TraceLog_SysError("Serv_Tulvo_SetFailureActions : QueryServiceConfig2");
    }
    free(l_puc_Config);
    return l_i_Has;
}

} // namespace

int Serv_Tulvo_SetFailureActions(const char* i_pc_ServiceName) {
    if (i_pc_ServiceName == nullptr || i_pc_ServiceName[0] == '\0') {
        return 0;
    }
    CServiceHandle l_x_Manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (l_x_Manager.Get() == nullptr) {
        TraceLog_SysError("Serv_Tulvo_SetFailureActions : OpenSCManager");
        return 0;
    }
    CServiceHandle l_x_Service(
        OpenServiceA(l_x_Manager.Get(), i_pc_ServiceName,
                     SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START));
    if (l_x_Service.Get() == nullptr) {
        TraceLog_SysError("Serv_Tulvo_SetFailureActions : OpenService");
        return 0;
    }
    if (HasFailureActions(l_x_Service.Get()) == 1) {
        TraceLog_Printf("Serv_Tulvo_SetFailureActions : the service has failure actions\n");
        return 1;
    }
    SC_ACTION l_ax_Actions[3];
    for (int l_i = 0; l_i < 3; ++l_i) {
        l_ax_Actions[l_i].Type = SC_ACTION_RESTART;
        l_ax_Actions[l_i].Delay = SERV_TULVO_RESTART_DELAYS_MS[l_i];
    }
    SERVICE_FAILURE_ACTIONSA l_x_Failure = {};
    l_x_Failure.dwResetPeriod = SERV_TULVO_FAILURE_RESET_S;
    l_x_Failure.cActions = 3;
    l_x_Failure.lpsaActions = l_ax_Actions;
    if (!ChangeServiceConfig2A(l_x_Service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &l_x_Failure)) {
        TraceLog_SysError("Serv_Tulvo_SetFailureActions : ChangeServiceConfig2");
        return 0;
    }
    TraceLog_Printf("Serv_Tulvo_SetFailureActions : restart after %lu ms, %lu ms, then %lu ms; "
                    "reset after %lu s\n",
                    SERV_TULVO_RESTART_DELAYS_MS[0], SERV_TULVO_RESTART_DELAYS_MS[1],
                    SERV_TULVO_RESTART_DELAYS_MS[2], SERV_TULVO_FAILURE_RESET_S);
    return 1;
}
