#include "bench_tunnel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include "socks/socks_client.h"

namespace {

NetSocket open_through_proxy(const BenchRoute* route) {
  char port_text[8];
  snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(route->proxy_port));
  NetSocket socket = net_connect_first("127.0.0.1", port_text);
  if (socket == kInvalidSocket) return kInvalidSocket;
  net_set_timeouts(socket, kClientLimitMs);
  char head[128];
  int length = snprintf(head, sizeof(head),
                        "CONNECT 127.0.0.1:%u HTTP/1.1\r\nHost: 127.0.0.1:%u\r\n\r\n",
                        static_cast<unsigned>(route->target_port),
                        static_cast<unsigned>(route->target_port));
  if (!net_send_all(socket, head, static_cast<size_t>(length))) {
    net_close(socket);
    return kInvalidSocket;
  }
  // The target sends nothing before it gets a request, so everything up to
  // the blank line is the proxy's response; nothing of the tunnel may be
  // consumed. The response normally arrives whole: it is looked at in place
  // and taken out up to its blank line (reading byte by byte cost the client
  // 70-odd calls per tunnel). A response that came in pieces is read byte by byte.
  char response[256];
  size_t response_length = 0;
  long peeked = recv(static_cast<int>(socket), response, sizeof(response) - 1, MSG_PEEK);
  if (peeked > 0) {
    response[peeked] = '\0';
    const char* blank = strstr(response, "\r\n\r\n");
    if (blank != nullptr) response_length = static_cast<size_t>(blank - response) + 4;
  }
  if (response_length > 0 && !net_recv_exact(socket, response, response_length))
    response_length = 0;
  size_t count = 0;
  while (peeked > 0 && response_length == 0 && count + 1 < sizeof(response)) {
    if (!net_recv_exact(socket, response + count, 1)) break;
    ++count;
    if (count >= 4 && memcmp(response + count - 4, "\r\n\r\n", 4) == 0) response_length = count;
  }
  // Other proxies answer in HTTP/1.0.
  if (response_length >= 13 && strncmp(response, "HTTP/1.", 7) == 0 &&
      strncmp(response + 8, " 200 ", 5) == 0) {
    return socket;
  }
  net_close(socket);
  return kInvalidSocket;
}

NetSocket open_direct(const BenchRoute* route) {
  char port_text[8];
  snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(route->socks_port));
  NetSocket socket = open_upstream_connection("127.0.0.1", port_text);
  if (socket == kInvalidSocket) return kInvalidSocket;
  net_set_timeouts(socket, kClientLimitMs);
  if (!socks5_connect(socket, "127.0.0.1", route->target_port)) {
    net_close(socket);
    return kInvalidSocket;
  }
  return socket;
}

// Reads the process group and the CPU seconds (user and system) of pid from
// /proc/<pid>/stat. Returns 1 on success.
int read_stat(int pid, int* group, double* cpu_seconds) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  FILE* file = fopen(path, "r");
  if (file == nullptr) return 0;
  char text[1024];
  size_t length = fread(text, 1, sizeof(text) - 1, file);
  fclose(file);
  text[length] = '\0';
  // The command name may hold spaces; the fields after it are plain numbers.
  const char* rest = strrchr(text, ')');
  if (rest == nullptr) return 0;
  unsigned long user_ticks = 0;
  unsigned long system_ticks = 0;
  // Fields 3 to 15: state ppid pgrp session tty tpgid flags minflt cminflt
  // majflt cmajflt utime stime.
  if (sscanf(rest + 1, " %*c %*d %d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", group, &user_ticks,
             &system_ticks) != 3) {
    return 0;
  }
  *cpu_seconds =
      static_cast<double>(user_ticks + system_ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  return 1;
}

}  // namespace

NetSocket tunnel_open(const BenchRoute* route, int path) {
  return path == kPathProxy ? open_through_proxy(route) : open_direct(route);
}

int process_sample(int pid, ProcessSample* sample) {
  char path[64];
  int group = 0;
  if (!read_stat(pid, &group, &sample->cpu_seconds)) return 0;

  snprintf(path, sizeof(path), "/proc/%d/status", pid);
  FILE* file = fopen(path, "r");
  if (file == nullptr) return 0;
  sample->rss_kib = -1;
  sample->threads = -1;
  char line[256];
  while (fgets(line, sizeof(line), file) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) sample->rss_kib = strtol(line + 6, nullptr, 10);
    if (strncmp(line, "Threads:", 8) == 0)
      sample->threads = static_cast<int>(strtol(line + 8, nullptr, 10));
  }
  fclose(file);
  return sample->rss_kib >= 0 && sample->threads >= 0;
}

double process_group_cpu(int group) {
  DIR* directory = opendir("/proc");
  if (directory == nullptr) return -1;
  double total = 0;
  int found = 0;
  while (dirent* entry = readdir(directory)) {
    char* end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    int process_group = 0;
    double seconds = 0;
    if (read_stat(static_cast<int>(pid), &process_group, &seconds) && process_group == group) {
      total += seconds;
      found = 1;
    }
  }
  closedir(directory);
  return found ? total : -1;
}

double process_self_cpu() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double machine_busy_cpu() {
  FILE* file = fopen("/proc/stat", "r");
  if (file == nullptr) return -1;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
  int fields = fscanf(file, "cpu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle,
                      &iowait, &irq, &softirq);
  fclose(file);
  if (fields != 7) return -1;
  return static_cast<double>(user + nice + system + irq + softirq) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

double bench_now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
