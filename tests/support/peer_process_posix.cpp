// Starting and stopping real peer programs (SOCKS5 servers, curl) for native tests.
#include "support/peer_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

void sleep_ms(unsigned milliseconds) {
  timespec pause;
  pause.tv_sec = milliseconds / 1000;
  pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

long now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void peer_clear(PeerProcess* peer) {
  peer->pid = 0;
  peer->work_directory[0] = '\0';
}

// posix_spawn rather than fork: the tests run threads (and sanitizers), and a
// spawned child runs nothing of ours between the fork and the exec. The child
// gets a process group of its own so that peer_stop also reaches the helper
// processes that danted forks.
int spawn_child(pid_t* pid, const char* const* argv, int stdout_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return 0;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return 0;
  }
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The test process ignores SIGPIPE (net_startup); the child starts with defaults.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  int rc =
      posix_spawnp(pid, argv[0], &actions, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? 1 : 0;
}

int connect_loopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  int ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

// Like peer_wait_listening, but gives up as soon as the peer has exited (a
// configuration error, a port taken by someone else).
int wait_peer_listening(PeerProcess* peer, uint16_t port, unsigned limit_ms) {
  long deadline = now_ms() + static_cast<long>(limit_ms);
  for (;;) {
    if (connect_loopback(port)) return 1;
    int status;
    if (waitpid(peer->pid, &status, WNOHANG) == peer->pid) {
      peer->pid = 0;
      return 0;
    }
    if (now_ms() >= deadline) return 0;
    sleep_ms(20);
  }
}

void remove_work_directory(PeerProcess* peer) {
  if (peer->work_directory[0] == '\0') return;
  // Only the files that peer_start_dante writes live there.
  static const char* const kFiles[] = {"danted.conf", "danted.log", "danted.pid"};
  char path[sizeof(peer->work_directory) + 32];
  for (const char* name : kFiles) {
    snprintf(path, sizeof(path), "%s/%s", peer->work_directory, name);
    unlink(path);
  }
  rmdir(peer->work_directory);
  peer->work_directory[0] = '\0';
}

}  // namespace

uint16_t peer_free_port() {
  // The kernel picks a free ephemeral port for a bind to port 0; it stays free
  // after the close unless someone else happens to take it in between.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  uint16_t port = 0;
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

int peer_program_exists(const char* program) {
  if (strchr(program, '/') != nullptr) return access(program, X_OK) == 0 ? 1 : 0;
  const char* path = getenv("PATH");
  // sbin is searched too: danted lives in /usr/sbin, which a non-root PATH lacks.
  char directories[4096];
  snprintf(directories, sizeof(directories), "%s:/usr/sbin:/sbin",
           path != nullptr ? path : "/usr/bin:/bin");
  char candidate[4096 + 256];
  char* rest = directories;
  while (rest != nullptr) {
    char* separator = strchr(rest, ':');
    if (separator != nullptr) *separator = '\0';
    if (rest[0] != '\0') {
      snprintf(candidate, sizeof(candidate), "%s/%s", rest, program);
      if (access(candidate, X_OK) == 0) return 1;
    }
    rest = separator != nullptr ? separator + 1 : nullptr;
  }
  return 0;
}

int peer_start(PeerProcess* peer, const char* const* argv) {
  peer_clear(peer);
  pid_t pid;
  if (!spawn_child(&pid, argv, -1)) return 0;
  peer->pid = static_cast<int>(pid);
  return 1;
}

int peer_wait_listening(uint16_t port, unsigned limit_ms) {
  long deadline = now_ms() + static_cast<long>(limit_ms);
  for (;;) {
    if (connect_loopback(port)) return 1;
    if (now_ms() >= deadline) return 0;
    sleep_ms(20);
  }
}

void peer_stop(PeerProcess* peer) {
  if (peer->pid > 0) {
    pid_t pid = static_cast<pid_t>(peer->pid);
    // The process itself first: danted's mother process then stops and reaps
    // its helper processes. Whatever is left of the group is killed after it.
    kill(pid, SIGTERM);
    int status;
    int reaped = 0;
    for (int waited = 0; waited < 1000 && !reaped; waited += 10) {
      pid_t rc = waitpid(pid, &status, WNOHANG);
      if (rc == pid || (rc < 0 && errno == ECHILD)) {
        reaped = 1;
      } else {
        sleep_ms(10);
      }
    }
    kill(-pid, SIGKILL);
    if (!reaped) {
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  peer->pid = 0;
  remove_work_directory(peer);
}

int peer_start_microsocks(PeerProcess* peer, uint16_t port) {
  char port_text[8];
  snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(port));
  const char* const argv[] = {"microsocks", "-i", "127.0.0.1", "-p", port_text, nullptr};
  if (!peer_start(peer, argv)) return 0;
  if (wait_peer_listening(peer, port, 5000)) return 1;
  peer_stop(peer);
  return 0;
}

namespace {

// 1 when uid is mapped into this process's user namespace (/proc/self/uid_map
// lines "first-inside first-outside count"). As the mapped root of a normal
// user's namespace (unshare -r), only uid 0 is.
int uid_is_mapped(unsigned long uid) {
  FILE* map = fopen("/proc/self/uid_map", "r");
  if (map == nullptr) return 1;  // no user namespaces: every uid exists
  unsigned long first = 0;
  unsigned long outside = 0;
  unsigned long count = 0;
  int mapped = 0;
  while (!mapped && fscanf(map, "%lu %lu %lu", &first, &outside, &count) == 3) {
    mapped = uid >= first && uid - first < count;
  }
  fclose(map);
  return mapped;
}

}  // namespace

int peer_start_dante(PeerProcess* peer, uint16_t port) {
  peer_clear(peer);
  char directory[] = "/tmp/lumaret-dante-XXXXXX";
  if (mkdtemp(directory) == nullptr) return 0;
  snprintf(peer->work_directory, sizeof(peer->work_directory), "%s", directory);

  // A configuration that relays on this machine (Debian dante-server 1.4.2,
  // run as root in a container, verified with curl --socks5-hostname and by
  // socks_peer_test.cpp):
  // - internal: 127.0.0.1 only, on the test's own port.
  // - external: lo, so that targets on 127.0.0.1 and ::1 are reachable (the
  //   tests and the benchmark use loopback targets only).
  // - socksmethod/clientmethod none: no authentication, as the launcher offers.
  // - user.privileged/unprivileged only when running as root and "nobody"
  //   exists here: danted refuses to switch users otherwise, and needs no
  //   switch then. As the mapped root of a normal user's namespace, "nobody"
  //   is not mapped and the switch would fail; the namespace's root has no
  //   real privileges to give up (verified both ways with curl).
  // - client pass and socks pass for every IPv4 and IPv6 source/destination.
  // It runs in the foreground (no -D) with -N 1 (one mother process; it still
  // forks its negotiate/request/io children into our process group), and the
  // pid file goes to the temporary directory instead of /var/run.
  char path[sizeof(peer->work_directory) + 32];
  snprintf(path, sizeof(path), "%s/danted.conf", directory);
  FILE* file = fopen(path, "w");
  if (file == nullptr) {
    remove_work_directory(peer);
    return 0;
  }
  fprintf(file, "logoutput: %s/danted.log\n", directory);
  fprintf(file, "internal: 127.0.0.1 port = %u\n", static_cast<unsigned>(port));
  fprintf(file, "external: lo\n");
  fprintf(file, "socksmethod: none\n");
  fprintf(file, "clientmethod: none\n");
  const struct passwd* nobody = getpwnam("nobody");
  if (geteuid() == 0 && nobody != nullptr && uid_is_mapped(nobody->pw_uid)) {
    fprintf(file, "user.privileged: root\n");
    fprintf(file, "user.unprivileged: nobody\n");
  }
  fprintf(file,
          "client pass {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n}\n"
          "client pass {\n  from: ::/0 to: ::/0\n}\n"
          "socks pass {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n}\n"
          "socks pass {\n  from: ::/0 to: ::/0\n}\n");
  int written = fclose(file) == 0;
  if (!written) {
    remove_work_directory(peer);
    return 0;
  }

  char pid_path[sizeof(peer->work_directory) + 32];
  snprintf(pid_path, sizeof(pid_path), "%s/danted.pid", directory);
  // danted lives in /usr/sbin, which may be missing from a non-root PATH.
  const char* program = access("/usr/sbin/danted", X_OK) == 0 ? "/usr/sbin/danted" : "danted";
  const char* const argv[] = {program, "-f", path, "-N", "1", "-p", pid_path, nullptr};
  pid_t pid;
  if (!spawn_child(&pid, argv, -1)) {
    remove_work_directory(peer);
    return 0;
  }
  peer->pid = static_cast<int>(pid);
  if (wait_peer_listening(peer, port, 10000)) return 1;
  peer_stop(peer);
  return 0;
}

int peer_run(const char* const* argv, std::string* output) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  pid_t pid;
  if (!spawn_child(&pid, argv, pipe_fds[1])) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return -1;
  }
  close(pipe_fds[1]);
  if (output != nullptr) output->clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = read(pipe_fds[0], buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output != nullptr) output->append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}
