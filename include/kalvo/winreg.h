/*
 * Registry functions of the Kalvo client library, with Win32 types.
 *
 * Each function is one call of the registry program (protocol version 2)
 * to the daemon named by KALVO_REGISTRY_HOST (default localhost) and
 * KALVO_REGISTRY_PROG (default 0x3003003C). The request header carries the
 * calling process's user id, user name and host id, so HKEY_CURRENT_USER is
 * the caller's key under HKEY_USERS (".Default" for a caller on another
 * host). Each thread keeps its own connection.
 *
 * Results are Win32 error numbers. Besides those the daemon sends (0, 2, 87,
 * 234, 259, 1130), the library itself returns:
 *   ERROR_INVALID_PARAMETER (87)    a required pointer is null; nothing is sent.
 *   ERROR_MORE_DATA (234)           a name, class or data did not fit the
 *                                   caller's buffer (see each function).
 *   RPC_S_SERVER_UNAVAILABLE (1722) no connection to the daemon could be made.
 *   RPC_S_CALL_FAILED (1726)        the call failed on the way (time-out,
 *                                   broken connection, unreadable reply); the
 *                                   thread's connection is dropped and made
 *                                   anew by the next call.
 * On any result other than 0 and 234 the output arguments are left as they
 * were, except where a function says otherwise.
 *
 * Sizes: names and classes are counted in bytes (these are the A
 * functions). Capacities above 64 MiB are sent as 64 MiB, the largest reply
 * buffer the daemon makes.
 */
#ifndef KALVO_WINREG_H
#define KALVO_WINREG_H

#include <stdint.h>

#include "kalvo/kalvotypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD REGSAM;

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

/* A handle travels as its low 32 bits. */
#define KALVO_HKEY(n) ((HKEY)(uintptr_t)(uint32_t)(n))
#define KALVO_HKEY_VALUE(h) ((uint32_t)(uintptr_t)(h))

#define HKEY_CLASSES_ROOT KALVO_HKEY(0x80000000u)
#define HKEY_CURRENT_USER KALVO_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE KALVO_HKEY(0x80000002u)
#define HKEY_USERS KALVO_HKEY(0x80000003u)
#define HKEY_PERFORMANCE_DATA KALVO_HKEY(0x80000004u)
#define HKEY_CURRENT_CONFIG KALVO_HKEY(0x80000005u)
#define HKEY_DYN_DATA KALVO_HKEY(0x80000006u)

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7

#define REG_OPTION_NON_VOLATILE 0
#define REG_OPTION_VOLATILE 1

#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_ENOUGH_SERVER_MEMORY 1130L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define RPC_S_CALL_FAILED 1726L

/* The open and create functions set *phkResult to NULL before they call,
 * so after any failure it holds NULL, never an earlier key. */

/* OPEN_KEY. A null lpSubKey is sent as "", which gives back hKey itself. */
LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);

/* OPEN_KEY_EX with ulOptions. A null or empty lpSubKey is sent as a null
 * sub-key (hKey itself comes back). samDesired is not sent: the daemon
 * grants every access. */
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);

/* CREATE_KEY. A null lpSubKey is sent as a null sub-key. */
LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);

/* CREATE_KEY_EX with lpClass (null: sent as "" flagged null; the daemon
 * gives a new key the empty class) and dwOptions. Reserved, samDesired and
 * lpSecurityAttributes are not sent. lpdwDisposition, when given, receives
 * REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. */
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     PHKEY phkResult, LPDWORD lpdwDisposition);

/* CLOSE_KEY. Closing a live handle succeeds and leaves it usable; change
 * notifications made through it end (their events are set). */
LONG RegCloseKey(HKEY hKey);

/* DELETE_KEY: the sub-key and everything below it. A null lpSubKey is
 * ERROR_INVALID_PARAMETER. */
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);

/* DELETE_VALUE. A null lpValueName deletes the default value. */
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

/* FLUSH_KEY: schedules a write of the registry. */
LONG RegFlushKey(HKEY hKey);

/* QUERY_VALUE: the default value of lpSubKey (null: of hKey). lpcbData is
 * the capacity of lpData in, the value's size out; a null lpData asks for
 * the size only. Too small a buffer: ERROR_MORE_DATA with nothing copied and
 * the full size in *lpcbData. No such value: ERROR_FILE_NOT_FOUND with
 * *lpcbData 0. */
LONG RegQueryValueA(HKEY hKey, LPCSTR lpSubKey, LPSTR lpData, PLONG lpcbData);

/* QUERY_VALUE_EX: as RegQueryValueA for the value lpValueName (null: the
 * default value), with its type, except that too small a buffer receives the
 * leading bytes. lpReserved is not used. lpData without lpcbData is
 * ERROR_INVALID_PARAMETER. */
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);

/* SET_VALUE: sets the default value of lpSubKey (created when missing;
 * null or "": of hKey) to the text lpData and its NUL. cbData is ignored, as
 * on Win32. A null lpData is ERROR_INVALID_PARAMETER. */
LONG RegSetValueA(HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData, DWORD cbData);

/* SET_VALUE_EX: the cbData bytes of lpData. For REG_SZ and REG_EXPAND_SZ
 * with cbData 0 and a text in lpData, the text and its NUL are sent and the
 * daemon sizes the value from them. Reserved is not used. */
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);

/* ENUM_KEY with dwMax = cchName: the name of the dwIndex-th sub-key (newest
 * first), NUL-terminated. ERROR_MORE_DATA when the name and its NUL need
 * more than cchName bytes; the buffer then holds its first cchName-1 bytes. */
LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);

/* ENUM_KEY_EX with the capacities *lpcchName and *lpcchClass (0 when
 * lpClass is null). Out: the texts NUL-terminated and their lengths without
 * the NUL. ERROR_MORE_DATA when a text and its NUL do not fit; the buffer
 * then holds a cut, terminated text and the counts stay as given. */
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);

/* ENUM_VALUE with the capacities *lpcchValueName and *lpcbData (0 when
 * lpData or lpcbData is null). Out: the name NUL-terminated and its length,
 * the type, the data and its size. ERROR_MORE_DATA when:
 *   the data does not fit a given buffer: the type and the size needed are
 *     set; name, name length and data are left as they were (also when the
 *     name does not fit either);
 *   only the name and its NUL do not fit: the name is cut and terminated,
 *     its length is left as it was; type, data and size are set. */
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

/* QUERY_INFO_KEY. Every output is optional. The class is copied when
 * lpClass and lpcchClass are given: a capacity of 0 copies nothing and gives
 * length 0 and success; a class that does not fit with its NUL is cut to the
 * capacity less one, terminated, with that length and ERROR_MORE_DATA (the
 * other outputs are still set). Without lpClass, *lpcchClass receives the
 * class length. A key without class gives "" and 0.
 * *lpcbSecurityDescriptor is always 0. */
LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

/* ---- Hives, security and notification ---- */

typedef DWORD SECURITY_INFORMATION;
typedef void* PSECURITY_DESCRIPTOR;

#define ERROR_INSUFFICIENT_BUFFER 122L

#define REG_NOTIFY_CHANGE_NAME 0x1
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x2
#define REG_NOTIFY_CHANGE_LAST_SET 0x4
#define REG_NOTIFY_CHANGE_SECURITY 0x8
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000L

/* Hive files are database files of the daemon. Their names are the
 * daemon's: a relative name is taken in the daemon's registry directory. */

/* LOAD_KEY: reads the hive lpFile and puts its tree below hKey as the key
 * lpSubKey, in place of any key of that name. ERROR_FILE_NOT_FOUND when
 * hKey names no key or the file is missing, unreadable or damaged (the old
 * key then stays). Null arguments: ERROR_INVALID_PARAMETER. */
LONG RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile);

/* UNLOAD_KEY: removes the key lpSubKey and everything below it from the
 * registry; nothing is written. A null lpSubKey is sent as "". */
LONG RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey);

/* SAVE_KEY: writes the key and everything below it (hKey null: the whole
 * registry) to the new file lpFile. An existing file is not replaced: the
 * result is then -1, as for a file that cannot be written; 8 when the
 * daemon has no memory for it. lpSecurityAttributes is not used. */
LONG RegSaveKeyA(HKEY hKey, LPCSTR lpFile, const LPSECURITY_ATTRIBUTES lpSecurityAttributes);

/* RESTORE_KEY: reads the hive lpFile and puts its tree below hKey under the
 * name stored in the file, beside any key of that name. dwFlags is sent and
 * not used. */
LONG RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags);

/* REPLACE_KEY: writes the key lpSubKey to lpOldFile (replacing that file),
 * then loads lpNewFile in its place. ERROR_FILE_NOT_FOUND, with no file
 * touched, when there is no such key (a null lpSubKey names none). */
LONG RegReplaceKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpNewFile, LPCSTR lpOldFile);

/* GET_KEY_SEC: keys carry no security data; *lpcbSecurityDescriptor becomes
 * 0 and nothing is copied. A null lpcbSecurityDescriptor is
 * ERROR_INVALID_PARAMETER. */
LONG RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                       PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor);

/* SET_KEY_SEC: accepted and ignored (the descriptor does not travel). */
LONG RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                       PSECURITY_DESCRIPTOR pSecurityDescriptor);

/* NOTIFY_CHANGE_KEY_VALUE: watches hKey (with bWatchSubtree, every key below
 * it too) for the changes dwNotifyFilter names: REG_NOTIFY_CHANGE_NAME, a
 * sub-key created or deleted (also by loading, restoring or unloading a
 * hive); REG_NOTIFY_CHANGE_LAST_SET, a value set or deleted. _ATTRIBUTES and
 * _SECURITY are accepted; nothing changes either, so they never fire alone.
 * Changes by any process count.
 *
 * A watch fires once: the first matching change sets hEvent (an event of
 * CreateEventA; registering resets it) and ends the watch; call again to go
 * on watching. The event is set before the call that made the change
 * returns. Closing hKey with RegCloseKey, deleting the key, or the end of
 * the connection the watch was made on also sets the event once and ends
 * the watch. That connection is the calling thread's, which ends with the
 * thread; with REG_NOTIFY_THREAD_AGNOSTIC in dwNotifyFilter it is the
 * process's, which ends with the process.
 *
 * fAsynchronous FALSE: hEvent is not used; the call returns once a matching
 * change (or one of the ends above) has happened.
 *
 * Results: ERROR_INVALID_PARAMETER for a filter without any of the four
 * bits or with unknown bits, and for a null hEvent when asynchronous;
 * ERROR_INVALID_HANDLE when hEvent is no event; ERROR_FILE_NOT_FOUND when
 * hKey names no key. */
LONG RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                             BOOL fAsynchronous);

#ifdef __cplusplus
}
#endif

#endif /* KALVO_WINREG_H */
