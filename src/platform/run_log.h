// The run's log file: lines of UTF-8 text, each "YYYY-MM-DDTHH:MM:SS.mmmZ "
// (UTC) and the text, ended by CR LF, appended to the file that --log names.
// The launcher, its tunnel threads, the watchdog and the logon's restore
// command may all write to one file at once: each line goes out whole in one
// append. The formatting is pure; the file and the clocks are the platform's
// (run_log_win32.cpp, run_log_posix.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/compiler.h"

// Past this many bytes one last line says that logging stopped; nothing else
// is written after it.
constexpr uint64_t kRunLogLimit = 64ULL << 20;

// The longest line, its time stamp and CR LF included; a longer text is cut.
constexpr size_t kRunLogLineCapacity = 1024;

// The time stamp's length: "2026-12-09T10:14:03.123Z ".
constexpr size_t kRunLogStampLength = 25;

// The last line, behind its time stamp.
constexpr char kRunLogStoppedText[] = "The log passed 64 MiB; logging stopped.";

// A moment in UTC.
struct RunLogTime {
  unsigned year;
  unsigned month;
  unsigned day;
  unsigned hour;
  unsigned minute;
  unsigned second;
  unsigned millisecond;
};

// What run_log_decide says about one line.
enum RunLogDecision {
  kRunLogWrite = 0,      // the line is written
  kRunLogWriteStop = 1,  // the stop line is written instead: this line passes the limit
  kRunLogDrop = 2        // nothing is written: the stop line was written before
};

// Formats one line into line (capacity bytes, at least kRunLogStampLength + 3):
// the time stamp, text, then "\r\n", with no NUL. A text that does not fit is
// cut on a whole character. Control bytes (below 0x20, and 0x7F) in text become
// '?', so that no text can end a line early or forge one, and so does each byte
// that is not part of a well-formed UTF-8 character and each character that a
// viewer takes for a line end or a change of direction (the C1 controls,
// U+061C, U+200E, U+200F, U+2028, U+2029, U+202A to U+202E, U+2066 to U+2069).
// Returns the line's length.
size_t run_log_format_line(char* line, size_t capacity, const RunLogTime* time, const char* text);

// The limit's rule for a line of length bytes when the file held offset bytes
// before it (by this process's count): written while the file stays within
// limit; the one line that would pass it is replaced by the stop line; every
// later line is dropped.
RunLogDecision run_log_decide(uint64_t offset, size_t length, uint64_t limit);

// Opens the log at path (UTF-8; relative to the current folder) for appending,
// creating it when missing, shared for reading and writing with every other
// writer. A file that has no room left for a line of kRunLogLineCapacity bytes
// is first renamed to path with ".old" added, replacing an older one, and a new
// file is begun. A later call switches the log to its file, leaving the one
// before as it is; a line written meanwhile goes whole to one file or the
// other. Returns 1 when the file is open, 0 when it cannot be opened (a log
// open before stays open).
int run_log_open(const char* path);

// Non-zero once run_log_open succeeded: the one check that the callers make
// before they gather anything to log, so that a run without a log pays nothing
// (an atomic load is a plain load on x86). Atomic because a tunnel thread of an
// earlier client may still be ending when a test opens its log.
extern std::atomic<int> run_log_enabled;

// Formats the printf-style text and appends it as one line. Does nothing
// without an open log. Safe from any thread.
void run_log_printf(const char* format, ...) LUMARET_PRINTF_FORMAT(1, 2);

// The open log's full path on Windows (so that a process started elsewhere,
// the logon's restore command, finds the same file); null without a log, and
// always on POSIX.
const wchar_t* run_log_full_path();

// A millisecond count that only grows, for durations.
uint64_t run_log_clock_ms();

// The platform's half, for run_log.cpp. Opens the file as run_log_open says,
// in place of one open before, and returns its current size in *size; returns
// 1 on success.
int run_log_file_open(const char* path, uint64_t* size);
// Sets *size to the size of the file at path; returns 0 when there is none.
int run_log_file_size(const char* path, uint64_t* size);
// Renames the file at path to path with ".old" added, replacing a file of that
// name; returns 1 on success.
int run_log_file_set_aside(const char* path);
// Appends length bytes in one write; returns 1 when all were written.
int run_log_file_append(const char* data, size_t length);
// The current time in UTC.
void run_log_clock_now(RunLogTime* time);
