// Real peer programs for native tests: SOCKS5 servers (microsocks, dante),
// curl, and free loopback ports. POSIX only.
#pragma once

#include <cstdint>
#include <string>

// A child process started by a test. The start functions fill in every field;
// peer_stop clears them.
struct PeerProcess {
  int pid;                   // 0 when not running; also the child's process group
  char work_directory[256];  // temporary directory removed by peer_stop, or ""
};

// Returns a loopback TCP port that was free a moment ago.
uint16_t peer_free_port();

// Returns 1 when the program is on PATH (or an absolute path that exists).
int peer_program_exists(const char* program);

// Starts argv[0] (searched on PATH) with the NULL-terminated argv in a process
// group of its own, standard input from and standard output and error to
// /dev/null. Returns 1 when it started.
int peer_start(PeerProcess* peer, const char* const* argv);

// Waits until 127.0.0.1:port accepts a TCP connection, at most limit_ms.
// Returns 1 when it does.
int peer_wait_listening(uint16_t port, unsigned limit_ms);

// Stops the process and its group (SIGTERM, then SIGKILL after at most a
// second), reaps it and removes its work directory. A stopped or never
// started (pid 0) peer is left alone.
void peer_stop(PeerProcess* peer);

// Starts microsocks on 127.0.0.1:port and waits until it listens.
int peer_start_microsocks(PeerProcess* peer, uint16_t port);

// Starts dante's danted on 127.0.0.1:port (no authentication, connections to
// loopback targets, IPv4 and IPv6, allowed), with its configuration, log and
// pid file in a temporary directory, and waits until it listens. Returns 1
// when it does; otherwise everything it started is stopped and removed.
int peer_start_dante(PeerProcess* peer, uint16_t port);

// Runs argv (argv[0] searched on PATH) to its end, collecting its standard
// output into *output (may be null; standard error is discarded). Returns its
// exit code, or -1 when it could not run or was killed by a signal.
int peer_run(const char* const* argv, std::string* output);
