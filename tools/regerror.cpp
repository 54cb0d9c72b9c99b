#include "tools/regerror.h"

#include <cerrno>
#include <cstdio>

namespace regtool {

namespace {

struct ErrorEntry {
    LONG number;
    const char* name;
    const char* text;
};

constexpr ErrorEntry kErrors[] = {
    {0, "ERROR_SUCCESS", "The operation completed successfully."},
    {2, "ERROR_FILE_NOT_FOUND", "The system cannot find the file specified."},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "Not enough memory resources are available to process this command."},
    {3, "ERROR_PATH_NOT_FOUND", "The system cannot find the path specified."},
    {5, "ERROR_ACCESS_DENIED", "Access is denied."},
    {13, "ERROR_INVALID_DATA", "The data is invalid."},
    {29, "ERROR_WRITE_FAULT", "The system cannot write to the specified device."},
    {30, "ERROR_READ_FAULT", "The system cannot read from the specified device."},
    {80, "ERROR_FILE_EXISTS", "The file exists."},
    {87, "ERROR_INVALID_PARAMETER", "The parameter is incorrect."},
    {112, "ERROR_DISK_FULL", "There is not enough space on the disk."},
    {122, "ERROR_INSUFFICIENT_BUFFER", "The data area passed to a system call is too small."},
    {160, "ERROR_BAD_ARGUMENTS", "One or more arguments are not correct."},
    {234, "ERROR_MORE_DATA", "More data is available."},
    {259, "ERROR_NO_MORE_ITEMS", "No more data is available."},
    {1130, "ERROR_NOT_ENOUGH_SERVER_MEMORY",
     "Not enough server memory resources are available to process this command."},
    {1223, "ERROR_CANCELLED", "The operation was canceled by the user."},
    {1722, "RPC_S_SERVER_UNAVAILABLE", "The RPC server is unavailable."},
    {1726, "RPC_S_CALL_FAILED", "The remote procedure call failed."},
    {1804, "ERROR_INVALID_DATATYPE", "The specified datatype is invalid."},
};

}  // namespace

std::string describeError(LONG error) {
    if (error == DAEMON_WRITE_FAILED) {
        return "status -1: The daemon could not write the file (it exists already or cannot be created).";
    }
    for (const ErrorEntry& e : kErrors) {
        if (e.number == error) return std::string(e.name) + " (" + std::to_string(error) + "): " + e.text;
    }
    return "error " + std::to_string(error) + ": unknown error number.";
}

LONG errorFromErrno(int errnum, bool writing) {
    switch (errnum) {
        case ENOENT:
            return writing ? TOOL_ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return TOOL_ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return TOOL_ERROR_ACCESS_DENIED;
        case ENOSPC:
            return TOOL_ERROR_DISK_FULL;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return writing ? TOOL_ERROR_WRITE_FAULT : TOOL_ERROR_READ_FAULT;
    }
}

int reportError(const std::string& context, LONG error) {
    fprintf(stderr, "kalvoreg: %s: %s\n", context.c_str(), describeError(error).c_str());
    return 1;
}

int reportError(const std::string& context, LONG error, const std::string& detail) {
    fprintf(stderr, "kalvoreg: %s: %s %s\n", context.c_str(), describeError(error).c_str(), detail.c_str());
    return 1;
}

}  // namespace regtool
