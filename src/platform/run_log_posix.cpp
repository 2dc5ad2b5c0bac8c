#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "platform/run_log.h"

namespace {

// Set once, by the first open; a later open puts its file behind the same
// number.
int run_log_descriptor = -1;

}  // namespace

int run_log_file_open(const char* path, uint64_t* size) {
  // O_APPEND: every write lands at the end of the file as it is at that moment.
  int descriptor = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return 0;
  struct stat status;
  *size = fstat(descriptor, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
  if (run_log_descriptor < 0) {
    run_log_descriptor = descriptor;
    return 1;
  }
  // dup2 swaps the file behind the number in one step, so a thread that is
  // writing meanwhile never writes to a closed or reused descriptor.
  const int switched = dup2(descriptor, run_log_descriptor) >= 0;
  close(descriptor);
  return switched ? 1 : 0;
}

int run_log_file_size(const char* path, uint64_t* size) {
  struct stat status;
  if (stat(path, &status) != 0) return 0;
  *size = static_cast<uint64_t>(status.st_size);
  return 1;
}

int run_log_file_set_aside(const char* path) {
  char old_path[4096];
  const int length = snprintf(old_path, sizeof(old_path), "%s.old", path);
  if (length < 0 || static_cast<size_t>(length) >= sizeof(old_path)) return 0;
  return rename(path, old_path) == 0 ? 1 : 0;
}

int run_log_file_append(const char* data, size_t length) {
  return write(run_log_descriptor, data, length) == static_cast<ssize_t>(length);
}

void run_log_clock_now(RunLogTime* time) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  gmtime_r(&now.tv_sec, &parts);
  time->year = static_cast<unsigned>(parts.tm_year + 1900);
  time->month = static_cast<unsigned>(parts.tm_mon + 1);
  time->day = static_cast<unsigned>(parts.tm_mday);
  time->hour = static_cast<unsigned>(parts.tm_hour);
  time->minute = static_cast<unsigned>(parts.tm_min);
  time->second = static_cast<unsigned>(parts.tm_sec);
  time->millisecond = static_cast<unsigned>(now.tv_nsec / 1000000);
}

const wchar_t* run_log_full_path() { return nullptr; }

uint64_t run_log_clock_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec / 1000000);
}
