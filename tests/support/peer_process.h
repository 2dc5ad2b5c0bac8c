// Real peer programs for native tests: SOCKS5 servers (microsocks, dante),
// curl, and free loopback ports. POSIX only.
#pragma once

#include <cstdint>
#include <string>

// A child process started by a test.
struct PeerProcess {
  int pid;  // 0 when not running
};

// Returns a loopback TCP port that was free a moment ago.
uint16_t peer_free_port();

// Returns 1 when the program is on PATH (or an absolute path that exists).
int peer_program_exists(const char* program);

// Starts argv[0] (searched on PATH) with the NULL-terminated argv, standard
// output and error sent to /dev/null. Returns 1 when it started.
int peer_start(PeerProcess* peer, const char* const* argv);

// Waits until 127.0.0.1:port accepts a TCP connection, at most limit_ms.
// Returns 1 when it does.
int peer_wait_listening(uint16_t port, unsigned limit_ms);

// Stops the process (SIGTERM, then SIGKILL after a second) and reaps it.
void peer_stop(PeerProcess* peer);

// Starts microsocks on 127.0.0.1:port and waits until it listens.
int peer_start_microsocks(PeerProcess* peer, uint16_t port);

// Starts dante's danted on 127.0.0.1:port (no authentication, connections to
// loopback allowed), with its configuration written into a temporary
// directory, and waits until it listens.
int peer_start_dante(PeerProcess* peer, uint16_t port);

// Runs argv to its end, collecting its standard output into *output (may be
// null). Returns its exit code, or -1 when it could not run.
int peer_run(const char* const* argv, std::string* output);
