// Win32 synchronization calls on top of the sync server.
#include "kalvo/synchapi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "client/kalvo_sync_client.h"
#include "sync/kvipc_wire.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// Leading words of a request, then the name with its NUL (none for null).
std::string objectRequest(std::initializer_list<int32_t> words, LPCSTR name) {
    std::string request;
    for (int32_t w : words) request.append(reinterpret_cast<const char*>(&w), sizeof w);
    if (name != nullptr) request.append(name, strlen(name) + 1);
    return request;
}

// Create and open: the reply is handle, error code, error flag.
HANDLE objectCall(uint32_t opcode, std::initializer_list<int32_t> words, LPCSTR name) {
    if (name != nullptr && strlen(name) > KV_MAX_NAME_LENGTH) {
        t_lastError = ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    std::string request = objectRequest(words, name);
    char reply[12] = {};
    if (!kvClientCall(opcode, request, reply)) {
        t_lastError = ERROR_SERVICE_NOT_ACTIVE;
        return nullptr;
    }
    uint32_t handle = static_cast<uint32_t>(kvWireGetWord(reply, 0));
    if (kvWireGetWord(reply, 2) != 0) t_lastError = static_cast<DWORD>(kvWireGetWord(reply, 1));
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

HANDLE openCall(uint32_t opcode, std::initializer_list<int32_t> words, LPCSTR name) {
    if (name == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return objectCall(opcode, words, name);
}

// A handle's value as the daemon knows it, or 0 for one this library never
// issues (only server-marked events, mutexes and semaphores): such a handle
// is refused here, since the daemon would take it for an object the client
// manages itself and a wait on it would never end.
uint32_t handleValue(HANDLE h) {
    uintptr_t value = reinterpret_cast<uintptr_t>(h);
    if (value > UINT32_MAX) return 0;
    uint32_t handle = static_cast<uint32_t>(value);
    uint32_t kind = handle & KV_KIND_MASK;
    bool issued = (handle & KV_SERVER_MARKER) != 0 &&
                  (kind == KV_KIND_EVENT || kind == KV_KIND_MUTEX || kind == KV_KIND_SEMAPHORE);
    return issued ? handle : 0;
}

// The first `count` words of a reply.
template <size_t N>
std::span<char> replyWords(char (&reply)[N], size_t count) {
    return std::span<char>(reply, std::min(N, count * 4));
}

// Set, pulse and the releases: word 0 success, the error code and flag at
// errorWord, then the self-wake words, the result of a wait of this process
// that the call satisfied, to hand to its thread.
BOOL signalCall(uint32_t opcode, std::initializer_list<int32_t> words, size_t errorWord, size_t replyLength,
                LPLONG previous = nullptr) {
    std::string request = objectRequest(words, nullptr);
    char reply[28] = {};
    if (!kvClientCall(opcode, request, replyWords(reply, replyLength))) {
        t_lastError = ERROR_SERVICE_NOT_ACTIVE;
        return FALSE;
    }
    if (replyLength > errorWord + 2) {
        uint32_t entry = static_cast<uint32_t>(kvWireGetWord(reply, errorWord + 2));
        if (entry != 0) kvClientDeliver(entry, kvWireGetWord(reply, errorWord + 3));
    }
    if (kvWireGetWord(reply, errorWord + 1) != 0) t_lastError = static_cast<DWORD>(kvWireGetWord(reply, errorWord));
    if (kvWireGetWord(reply, 0) == 0) return FALSE;
    if (previous != nullptr) *previous = kvWireGetWord(reply, 1);
    return TRUE;
}

BOOL handleSignal(uint32_t opcode, HANDLE h, size_t replyLength) {
    uint32_t handle = handleValue(h);
    if (handle == 0) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return signalCall(opcode, {kvClientPid(), static_cast<int32_t>(handle)}, 1, replyLength);
}

DWORD waitFailed(DWORD error) {
    t_lastError = error;
    return WAIT_FAILED;
}

// Two handles name the same object when they differ only in an event's
// duplicate tag.
uint32_t objectIdentity(uint32_t handle) {
    return (handle & KV_KIND_MASK) == KV_KIND_EVENT ? handle & ~KV_EVENT_TAG_MASK : handle;
}

// Entered in the library's wait table from before its begin request until
// it returns, whichever way it ends.
struct EnteredWait {
    KvClientWait wait;
    EnteredWait() { kvClientAddWait(&wait); }
    ~EnteredWait() { kvClientRemoveWait(&wait); }
    EnteredWait(const EnteredWait&) = delete;
    EnteredWait& operator=(const EnteredWait&) = delete;
};

DWORD waitResult(int32_t result) {
    if (result == KV_WAIT_FAILED) return waitFailed(ERROR_SERVICE_NOT_ACTIVE);
    return static_cast<DWORD>(result);
}

DWORD waitForObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (handles == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) return waitFailed(ERROR_INVALID_PARAMETER);
    auto start = std::chrono::steady_clock::now();
    std::vector<uint32_t> values(count);
    for (DWORD i = 0; i < count; i++) {
        values[i] = handleValue(handles[i]);
        if (values[i] == 0) return waitFailed(ERROR_INVALID_HANDLE);
    }
    if (waitAll) {
        std::vector<uint32_t> objects(count);
        std::transform(values.begin(), values.end(), objects.begin(), objectIdentity);
        std::sort(objects.begin(), objects.end());
        if (std::adjacent_find(objects.begin(), objects.end()) != objects.end())
            return waitFailed(ERROR_INVALID_PARAMETER);
    }
    if (!kvClientListen()) return waitFailed(ERROR_SERVICE_NOT_ACTIVE);

    EnteredWait entered;
    KvClientWait& wait = entered.wait;
    int32_t pid = kvClientPid();
    std::string request = objectRequest({pid, static_cast<int32_t>(wait.entry), kvClientThreadId(),
                                         waitAll ? static_cast<int32_t>(count) : 1, static_cast<int32_t>(count)},
                                        nullptr);
    request.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(uint32_t));
    char reply[16] = {};
    if (!kvClientBeginWait(&wait, request, reply)) return waitFailed(ERROR_SERVICE_NOT_ACTIVE);
    if (kvWireGetWord(reply, 0) == 0) {  // answered at once
        int32_t result = kvWireGetWord(reply, 1);
        if (result == KV_WAIT_FAILED)
            return waitFailed(kvWireGetWord(reply, 3) != 0 ? static_cast<DWORD>(kvWireGetWord(reply, 2))
                                                            : ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(result);
    }
    if (milliseconds == INFINITE) {
        kvClientAwait(&wait, nullptr);
        return waitResult(wait.result);
    }
    auto deadline = start + std::chrono::milliseconds(milliseconds);
    if (kvClientAwait(&wait, &deadline)) return waitResult(wait.result);
    // Timed out here; the daemon may have satisfied the wait meanwhile, and
    // then its result is on its way and must be taken, not lost.
    std::string cancel = objectRequest({pid, 0, static_cast<int32_t>(wait.entry)}, nullptr);
    char cancelled[8] = {};
    if (!kvClientCall(KV_OP_WAIT_TIMEOUT, cancel, cancelled)) return waitFailed(ERROR_SERVICE_NOT_ACTIVE);
    if (kvWireGetWord(cancelled, 0) == 0) return WAIT_TIMEOUT;
    kvClientAwait(&wait, nullptr);
    return waitResult(wait.result);
}

}  // namespace

extern "C" {

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    return objectCall(KV_OP_CREATE_EVENT, {kvClientPid(), bManualReset ? 1 : 0, bInitialState ? 1 : 0}, lpName);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    return objectCall(KV_OP_CREATE_MUTEX, {kvClientPid(), kvClientThreadId(), bInitialOwner ? 1 : 0}, lpName);
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCSTR lpName) {
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return objectCall(KV_OP_CREATE_SEMAPHORE, {kvClientPid(), lInitialCount, lMaximumCount}, lpName);
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR lpName) {
    return openCall(KV_OP_OPEN_EVENT, {kvClientPid(), 0, 0}, lpName);
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
    return openCall(KV_OP_OPEN_MUTEX, {kvClientPid(), 0, 0, 0}, lpName);
}

HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR lpName) {
    return openCall(KV_OP_OPEN_SEMAPHORE, {kvClientPid(), 0, 0}, lpName);
}

BOOL CloseHandle(HANDLE hObject) {
    uint32_t value = handleValue(hObject);
    if (value == 0) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::string request = objectRequest({kvClientPid(), static_cast<int32_t>(value)}, nullptr);
    char reply[12] = {};
    if (!kvClientCall(KV_OP_CLOSE_HANDLE, request, reply)) {
        t_lastError = ERROR_SERVICE_NOT_ACTIVE;
        return FALSE;
    }
    // This reply carries the error flag before the code.
    if (kvWireGetWord(reply, 1) != 0) t_lastError = static_cast<DWORD>(kvWireGetWord(reply, 2));
    return kvWireGetWord(reply, 0) != 0 ? TRUE : FALSE;
}

BOOL SetEvent(HANDLE hEvent) { return handleSignal(KV_OP_SET_EVENT, hEvent, 6); }

BOOL ResetEvent(HANDLE hEvent) { return handleSignal(KV_OP_RESET_EVENT, hEvent, 3); }

BOOL PulseEvent(HANDLE hEvent) { return handleSignal(KV_OP_PULSE_EVENT, hEvent, 6); }

BOOL ReleaseMutex(HANDLE hMutex) {
    uint32_t handle = handleValue(hMutex);
    if (handle == 0) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return signalCall(KV_OP_RELEASE_MUTEX, {kvClientPid(), kvClientThreadId(), static_cast<int32_t>(handle)}, 1, 6);
}

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
    uint32_t handle = handleValue(hSemaphore);
    if (handle == 0) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return signalCall(KV_OP_RELEASE_SEMAPHORE, {kvClientPid(), static_cast<int32_t>(handle), lReleaseCount}, 2, 7,
                      lpPreviousCount);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return waitForObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    return waitForObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
}

HANDLE GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD, BOOL, DWORD dwOptions) {
    uint32_t source = handleValue(hSourceHandle);
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess() ||
        (source & KV_KIND_MASK) != KV_KIND_EVENT) {
        t_lastError = source == 0 ? ERROR_INVALID_HANDLE : ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    if (lpTargetHandle == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::string request = objectRequest({kvClientPid(), static_cast<int32_t>(source)}, nullptr);
    char reply[12] = {};
    BOOL done = FALSE;
    if (!kvClientCall(KV_OP_DUPLICATE_EVENT, request, reply)) {
        t_lastError = ERROR_SERVICE_NOT_ACTIVE;
    } else if (kvWireGetWord(reply, 2) != 0 || kvWireGetWord(reply, 0) == 0) {
        t_lastError = static_cast<DWORD>(kvWireGetWord(reply, 1));
    } else {
        *lpTargetHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<uint32_t>(kvWireGetWord(reply, 0))));
        done = TRUE;
    }
    // As on Win32, the source is closed whether or not the duplicate was made.
    if ((dwOptions & DUPLICATE_CLOSE_SOURCE) != 0) {
        DWORD error = t_lastError;
        CloseHandle(hSourceHandle);
        t_lastError = error;
    }
    return done;
}

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

}  // extern "C"
