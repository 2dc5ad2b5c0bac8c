#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "platform/run_log.h"

namespace {

int run_log_descriptor = -1;

}  // namespace

int run_log_file_open(const char* path, uint64_t* size) {
  // O_APPEND: every write lands at the end of the file as it is at that moment.
  int descriptor = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return 0;
  struct stat status;
  *size = fstat(descriptor, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
  run_log_descriptor = descriptor;
  return 1;
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
