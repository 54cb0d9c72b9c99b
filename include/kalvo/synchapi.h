/* Cross-process events, mutexes and semaphores of the Kalvo layer, with the
 * Win32 calling conventions: handles shared between processes through the
 * registry daemon's sync server, names shared by every process of the user.
 *
 * Finding the daemon: the library asks the registry daemon named by
 * KALVO_REGISTRY_HOST and KALVO_REGISTRY_PROG (see kalvoping.h) for its
 * process id, and connects to its socket /tmp/kalvo_sock_<pid> on the first
 * call of each process (a forked child connects anew), registering the
 * process there, so that the daemon drops the process's handles, abandons
 * its mutexes and withdraws its waits when it goes away. The environment
 * variable KALVO_REGISTRY_PID, when set, names the daemon's process id
 * (decimal) directly instead, and no registry call is made. When the daemon
 * cannot be found or reached, calls fail with ERROR_SERVICE_NOT_ACTIVE.
 *
 * Waiting: a wait that cannot be satisfied at once is queued by the daemon,
 * which sends its result to the process's own socket /tmp/kalvo_sock_<pid>
 * when another process's or thread's call satisfies it. The library opens
 * that socket at the first wait (it is removed when the process ends
 * normally: exit or return from main); no thread of the library's own reads
 * it, a waiting thread does, for itself and the other waiting threads. Time-
 * outs are kept by the library, which withdraws the timed-out wait from the
 * daemon. When a thread that used the library ends, the daemon is told, so
 * that mutexes it owned become free and abandoned. A wait fails with
 * ERROR_SERVICE_NOT_ACTIVE when the daemon goes away, or when it drops the
 * process's wake-up connection because the process left its wake-ups
 * unread (for instance while stopped by a signal).
 *
 * The daemon knows each process by the kernel's word on its connection: a
 * process acts only for itself, and wake-ups reach a socket only when the
 * process itself or its user listens there. The default daemon serves every
 * user's processes; a private one serves its owner's.
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

#include "kalvo/kalvotypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_SERVICE_NOT_ACTIVE 1062u

#define INFINITE 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64u
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_ABANDONED WAIT_ABANDONED_0
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define DUPLICATE_CLOSE_SOURCE 0x00000001u
#define DUPLICATE_SAME_ACCESS 0x00000002u

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

/* Events. SetEvent releases the waits it satisfies, oldest first: all of
 * them for a manual-reset event, which stays signalled; the first for an
 * auto-reset event, which it then resets (it stays signalled when nobody
 * waits). PulseEvent does the same and leaves the event unsignalled in
 * every case. ERROR_INVALID_HANDLE for a handle that is not an event. */
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
BOOL PulseEvent(HANDLE hEvent);

/* Gives back one level of ownership of a mutex held by the calling thread;
 * ERROR_INVALID_HANDLE when the thread does not own it. */
BOOL ReleaseMutex(HANDLE hMutex);

/* Adds lReleaseCount to the count; the previous count goes to
 * *lpPreviousCount (may be null) on success. A count below 1, or one that
 * would take the semaphore past its maximum, fails with
 * ERROR_INVALID_PARAMETER and changes nothing. */
BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);

/* Waits until the object can be acquired, or dwMilliseconds have passed
 * (INFINITE: no limit; 0: only a test). Acquiring consumes an auto-reset
 * event, takes one from a semaphore's count and makes the calling thread
 * the owner of a mutex (recursively, if it already is).
 * Results: WAIT_OBJECT_0; WAIT_ABANDONED_0 for a mutex whose owner thread
 * or process ended without releasing it (the caller now owns it);
 * WAIT_TIMEOUT; WAIT_FAILED with the last error set: ERROR_INVALID_HANDLE
 * for a handle of no live object, or at once, before anything is sent, for
 * a value this library never issues (whatever dwMilliseconds);
 * ERROR_SERVICE_NOT_ACTIVE when the daemon
 * cannot be reached or went away during the wait. */
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

/* Waits for any one (bWaitAll FALSE) or for all (TRUE) of nCount objects,
 * 1 <= nCount <= MAXIMUM_WAIT_OBJECTS. For any one, the result is
 * WAIT_OBJECT_0 plus the lowest position that could be acquired, and only
 * that object is acquired (WAIT_ABANDONED_0 plus the position for an
 * abandoned mutex). For all, the objects are acquired together or not at
 * all, and the result is WAIT_OBJECT_0 (WAIT_ABANDONED_0 when one of them
 * was an abandoned mutex). An object named twice in a wait for all, a null
 * array or a count outside the range fail with ERROR_INVALID_PARAMETER.
 * Other results as WaitForSingleObject. */
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);

/* The pseudo handle of the calling process, for DuplicateHandle. */
HANDLE GetCurrentProcess(void);

/* A further handle to an event, within the calling process: both process
 * handles must be GetCurrentProcess(). The new handle is a different value
 * naming the same event, and must be closed on its own. DUPLICATE_CLOSE_SOURCE
 * closes the source handle as well. Handles of mutexes and semaphores, and
 * other processes, fail with ERROR_NOT_SUPPORTED; a null lpTargetHandle
 * with ERROR_INVALID_PARAMETER. Desired access and inheritance are ignored. */
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);

DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

#ifdef __cplusplus
}
#endif

#endif /* KALVO_SYNCHAPI_H */
