#include <windows.h>

#include <cwchar>

#include "platform/run_log.h"

namespace {

HANDLE run_log_handle = INVALID_HANDLE_VALUE;
wchar_t run_log_path[32768];
int run_log_path_known = 0;
// Windows puts each append of one handle at the end as a whole, but Wine
// computes the end and writes in two steps: two threads could then write
// over each other. The lock keeps this process's appends one at a time.
SRWLOCK run_log_lock = SRWLOCK_INIT;

// Wide paths: a folder or file name outside the ANSI code page must not
// become "?". Static, as opening and setting aside happen on one thread.
wchar_t wide_path[32768];
wchar_t wide_old_path[32768];

// Converts path into wide_path; returns 1 on success.
int widen_path(const char* path) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide_path, 32768) > 0;
}

}  // namespace

int run_log_file_open(const char* path, uint64_t* size) {
  if (!widen_path(path)) return 0;
  // FILE_APPEND_DATA alone: every WriteFile lands at the end of the file as
  // it is at that moment, also when another process has just appended.
  HANDLE file = CreateFileW(wide_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER current;
  if (!GetFileSizeEx(file, &current)) current.QuadPart = 0;
  *size = static_cast<uint64_t>(current.QuadPart);
  const DWORD full = GetFullPathNameW(wide_path, 32768, run_log_path, nullptr);
  run_log_path_known = full > 0 && full < 32768;
  // Under the appends' lock, so that no thread writes to a closed handle.
  AcquireSRWLockExclusive(&run_log_lock);
  HANDLE before = run_log_handle;
  run_log_handle = file;
  ReleaseSRWLockExclusive(&run_log_lock);
  if (before != INVALID_HANDLE_VALUE) CloseHandle(before);
  return 1;
}

int run_log_file_size(const char* path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!widen_path(path) || !GetFileAttributesExW(wide_path, GetFileExInfoStandard, &data)) {
    return 0;
  }
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return 1;
}

int run_log_file_set_aside(const char* path) {
  if (!widen_path(path)) return 0;
  const size_t length = wcslen(wide_path);
  if (length + 5 > 32768) return 0;
  wmemcpy(wide_old_path, wide_path, length);
  wmemcpy(wide_old_path + length, L".old", 5);
  // Fails while another process holds the file open, as it shares no deletion.
  return MoveFileExW(wide_path, wide_old_path, MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
}

int run_log_file_append(const char* data, size_t length) {
  DWORD written = 0;
  AcquireSRWLockExclusive(&run_log_lock);
  const BOOL ok = WriteFile(run_log_handle, data, static_cast<DWORD>(length), &written, nullptr);
  ReleaseSRWLockExclusive(&run_log_lock);
  return ok && written == length;
}

void run_log_clock_now(RunLogTime* time) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  time->year = now.wYear;
  time->month = now.wMonth;
  time->day = now.wDay;
  time->hour = now.wHour;
  time->minute = now.wMinute;
  time->second = now.wSecond;
  time->millisecond = now.wMilliseconds;
}

const wchar_t* run_log_full_path() { return run_log_path_known ? run_log_path : nullptr; }

uint64_t run_log_clock_ms() { return GetTickCount64(); }
