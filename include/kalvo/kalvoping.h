/*
 * The client process's life cycle with the registry daemon, and the two
 * numbers a process may ask it for.
 *
 * A process announces itself with KalvoProcessStart (and may repeat it as a
 * keep-alive): a local process is then listed by the daemon, which keeps a
 * private daemon from ending, and the calling user's key under HKEY_USERS is
 * loaded from the user's own file. KalvoProcessEnd at process end lets the
 * daemon write the user's key back and unload it once the user's last
 * process has ended. Each call is one PING_DAEMON call (protocol version 2)
 * to the daemon named by KALVO_REGISTRY_HOST and KALVO_REGISTRY_PROG.
 *
 * Results: 0 on success; RPC_S_SERVER_UNAVAILABLE (1722) when no connection
 * could be made; RPC_S_CALL_FAILED (1726) when the call failed on the way;
 * ERROR_INVALID_PARAMETER (87) for a null output pointer;
 * ERROR_NOT_ENOUGH_MEMORY (8) when the daemon could not set up the segment.
 */
#ifndef KALVO_KALVOPING_H
#define KALVO_KALVOPING_H

#include "kalvo/winreg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Ping modes. */
#define KALVO_PING_ALIVE 0
#define KALVO_PING_PROCESS_END 1
#define KALVO_PING_SEGMENT 2
#define KALVO_PING_DAEMON_PID 3

/* One ping of the calling process in `mode`; the reply's number in *retval
 * (may be null). */
LONG KalvoPingDaemon(DWORD mode, LPDWORD retval);

/* Process start (or keep-alive) and process end. */
LONG KalvoProcessStart(void);
LONG KalvoProcessEnd(void);

/* The daemon's process id. */
LONG KalvoGetDaemonPid(LPDWORD pid);

/* The id of the System V shared memory segment of the sync support; the
 * daemon creates it (and its semaphore set) on the first request. */
LONG KalvoGetSyncSegment(LPDWORD shmId);

/* The daemon's protocol version (a QUERY_VERSION call), e.g. 2, 3, 0.
 * ERROR_INVALID_PARAMETER (87) for a null pointer; the outputs are set only
 * on success. */
LONG KalvoQueryVersion(DWORD* major, DWORD* minor, DWORD* minorminor);

#ifdef __cplusplus
}
#endif

#endif
