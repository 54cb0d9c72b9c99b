/* Cross-process events, mutexes and semaphores of the Kalvo layer, with the
 * Win32 calling conventions: handles shared between processes through the
 * registry daemon's sync server, names shared by every process of the user.
 *
 * Finding the daemon: the environment variable KALVO_REGISTRY_PID holds the
 * process id of the registry daemon (decimal); the library connects to its
 * socket /tmp/kalvo_sock_<pid> on the first call of each process (a forked
 * child connects anew) and registers the process there, so that the daemon
 * drops the process's handles when it goes away. When the variable is unset
 * or the daemon cannot be reached, calls fail with ERROR_SERVICE_NOT_ACTIVE.
 *
 * Every function may be called from any thread. The last-error value is per
 * thread; a call sets it only when it fails, or when a create call opened
 * an object that already existed (ERROR_ALREADY_EXISTS). A name that no
 * object has makes the open calls fail with ERROR_NOT_ENOUGH_MEMORY, and a
 * name used by an object of another kind with ERROR_INVALID_HANDLE. Names
 * are compared byte for byte and are at most 4096 bytes long. Security
 * attributes, desired access and handle inheritance are accepted and
 * ignored: the daemon grants every process of the user full access.
 */
#ifndef KALVO_SYNCHAPI_H
#define KALVO_SYNCHAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* HANDLE;
typedef int BOOL;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef const char* LPCSTR;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_SERVICE_NOT_ACTIVE 1062u

#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x001F0003u
#define MUTEX_MODIFY_STATE 0x0001u
#define MUTEX_ALL_ACCESS 0x001F0001u
#define SEMAPHORE_MODIFY_STATE 0x0002u
#define SEMAPHORE_ALL_ACCESS 0x001F0003u

/* A null name makes an unnamed object. NULL on failure. */
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
/* Fails with ERROR_INVALID_PARAMETER unless 0 <= lInitialCount <= lMaximumCount
 * and lMaximumCount > 0. */
HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCSTR lpName);

/* A null name fails with ERROR_INVALID_PARAMETER. NULL on failure. */
HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HANDLE OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);

/* Gives back one handle of this process; the object ends with the last
 * handle of all processes. Closing does not release an owned mutex. */
BOOL CloseHandle(HANDLE hObject);

DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

#ifdef __cplusplus
}
#endif

#endif /* KALVO_SYNCHAPI_H */
