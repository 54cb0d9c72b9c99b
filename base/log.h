// The circular log "kalvo_reg.log": fixed-width lines, one writer for every thread.
#pragma once

constexpr const char* REGD_LOG_FILE = "kalvo_reg.log";
constexpr int REGD_LOG_LINE_WIDTH = 80;

// Writes one fixed-width line (80 characters and a newline) to the circular
// log "kalvo_reg.log" in the working directory, opening it on first use and
// falling back to standard error. Conversions: %d %X %f %s; any other "%x"
// pair, or a trailing "%", is written as it stands. Serialised across
// threads; after regdCloseLog every later message is dropped.
void writeToLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Closes the log stream for good (shutdown).
void regdCloseLog();

// Forgets the log state so that a test can start a fresh log in-process.
void regdResetLogForTest();
