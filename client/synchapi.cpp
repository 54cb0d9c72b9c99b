// Win32 synchronization calls on top of the sync server.
#include "kalvo/synchapi.h"

#include <cstring>
#include <initializer_list>
#include <string>

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
    uintptr_t value = reinterpret_cast<uintptr_t>(hObject);
    if (value == 0 || value > UINT32_MAX) {
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

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

}  // extern "C"
