// Win32 error numbers as kalvoreg reports them: name, number and text.
#pragma once

#include <string>

#include "kalvo/winreg.h"

namespace regtool {

// Errors of the tool's own checks, in the same numbering as the daemon's.
constexpr LONG TOOL_ERROR_PATH_NOT_FOUND = 3;
constexpr LONG TOOL_ERROR_ACCESS_DENIED = 5;
constexpr LONG TOOL_ERROR_INVALID_DATA = 13;
constexpr LONG TOOL_ERROR_WRITE_FAULT = 29;
constexpr LONG TOOL_ERROR_READ_FAULT = 30;
constexpr LONG TOOL_ERROR_DISK_FULL = 112;
constexpr LONG TOOL_ERROR_FILE_EXISTS = 80;
constexpr LONG TOOL_ERROR_BAD_ARGUMENTS = 160;
constexpr LONG TOOL_ERROR_CANCELLED = 1223;
constexpr LONG TOOL_ERROR_INVALID_DATATYPE = 1804;
// The daemon's answer when it cannot write a hive file.
constexpr LONG DAEMON_WRITE_FAILED = -1;

// "ERROR_FILE_NOT_FOUND (2): The system cannot find the file specified."
std::string describeError(LONG error);

// The Win32 error for a failed local file operation with `errnum`.
LONG errorFromErrno(int errnum, bool writing);

// Prints "kalvoreg: <context>: <describeError(error)>" on stderr; returns 1.
int reportError(const std::string& context, LONG error);

// Prints "kalvoreg: <context>: <describeError(error)> <detail>" on stderr;
// returns 1.
int reportError(const std::string& context, LONG error, const std::string& detail);

}  // namespace regtool
