/* tulvo_ptyshim: an LD_PRELOAD library for the wine process of the tests and the simulator
 * scripts. A pseudo-terminal has no modem lines, so wine's EscapeCommFunction,
 * GetCommModemStatus, SetCommState with DTR/RTS control and WaitCommEvent fail on a COM port
 * that is linked to a pty slave. This library answers the four modem-line ioctls on pty
 * slaves as a cable that is always connected would: it keeps the DTR/RTS word that the
 * program sets and reports CTS, DSR and CD as present. Every other call goes to the C
 * library untouched. Never shipped: the product only ever sees real serial drivers. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

/* UNIX98 pty slaves use these character-device majors. */
#define PTYSHIM_PTS_MAJOR_FIRST 136
#define PTYSHIM_PTS_MAJOR_LAST 143
#define PTYSHIM_FD_COUNT 4096

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn g_pf_RealIoctl;
static pthread_once_t g_x_Once = PTHREAD_ONCE_INIT;
static pthread_mutex_t g_x_Lock = PTHREAD_MUTEX_INITIALIZER;
/* DTR/RTS as last set, per descriptor; a fresh descriptor starts with both raised, as a
 * port does once it is opened. Bit 31 marks a slot in use. */
static unsigned g_aui_Lines[PTYSHIM_FD_COUNT];

static void PtyShim_Init(void) {
    g_pf_RealIoctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
}

static int PtyShim_IsPtySlave(int i_i_Fd) {
    struct stat l_x_Stat;
    if (fstat(i_i_Fd, &l_x_Stat) != 0 || !S_ISCHR(l_x_Stat.st_mode)) {
        return 0;
    }
    unsigned l_ui_Major = major(l_x_Stat.st_rdev);
    return l_ui_Major >= PTYSHIM_PTS_MAJOR_FIRST && l_ui_Major <= PTYSHIM_PTS_MAJOR_LAST;
}

static int PtyShim_ModemLines(int i_i_Fd, unsigned long i_ul_Request, int* io_pi_Bits) {
    const unsigned l_ui_Settable = TIOCM_DTR | TIOCM_RTS;
    const unsigned l_ui_InUse = 1u << 31;
    pthread_mutex_lock(&g_x_Lock);
    unsigned* l_pui_Word = &g_aui_Lines[i_i_Fd];
    if ((*l_pui_Word & l_ui_InUse) == 0) {
        *l_pui_Word = l_ui_InUse | l_ui_Settable;
    }
    unsigned l_ui_Bits = (unsigned)*io_pi_Bits & l_ui_Settable;
    switch (i_ul_Request) {
    case TIOCMGET:
        *io_pi_Bits = (int)((*l_pui_Word & l_ui_Settable) | TIOCM_CTS | TIOCM_DSR | TIOCM_CD);
        break;
    case TIOCMSET:
        *l_pui_Word = l_ui_InUse | l_ui_Bits;
        break;
    case TIOCMBIS:
        *l_pui_Word |= l_ui_Bits;
        break;
    default: /* TIOCMBIC */
        *l_pui_Word &= ~l_ui_Bits;
        break;
    }
    pthread_mutex_unlock(&g_x_Lock);
    return 0;
}

int ioctl(int i_i_Fd, unsigned long i_ul_Request, ...) {
    va_list l_x_Args;
    va_start(l_x_Args, i_ul_Request);
    void* l_pv_Arg = va_arg(l_x_Args, void*);
    va_end(l_x_Args);
    pthread_once(&g_x_Once, PtyShim_Init);
    if ((i_ul_Request == TIOCMGET || i_ul_Request == TIOCMSET || i_ul_Request == TIOCMBIS ||
         i_ul_Request == TIOCMBIC) &&
        l_pv_Arg != NULL && i_i_Fd >= 0 && i_i_Fd < PTYSHIM_FD_COUNT) {
        int l_i_SavedErrno = errno;
        if (PtyShim_IsPtySlave(i_i_Fd)) {
            errno = l_i_SavedErrno;
            return PtyShim_ModemLines(i_i_Fd, i_ul_Request, (int*)l_pv_Arg);
        }
        errno = l_i_SavedErrno;
    }
    if (g_pf_RealIoctl == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return g_pf_RealIoctl(i_i_Fd, i_ul_Request, l_pv_Arg);
}
