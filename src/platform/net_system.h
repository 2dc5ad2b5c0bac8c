// Private to the socket layer (src/platform/net_*.cpp): the system's socket
// headers, the types in which Winsock and BSD sockets differ, and the few calls
// that each system's file implements for the code that both share
// (net_common.cpp).
#pragma once

#include <cstddef>

#include "platform/net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET SystemSocket;
typedef int SystemAddressLength;
constexpr int kSystemShutdownSend = SD_SEND;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
typedef int SystemSocket;
typedef socklen_t SystemAddressLength;
constexpr int kSystemShutdownSend = SHUT_WR;
#endif

// The system's handle of socket (for a descriptor, the same number).
inline SystemSocket net_system_socket(NetSocket socket) {
  return static_cast<SystemSocket>(socket);
}

// The NetSocket of a handle the system returned; the system's invalid value
// (INVALID_SOCKET, or the descriptor -1) becomes kInvalidSocket.
inline NetSocket net_from_system(SystemSocket handle) { return static_cast<NetSocket>(handle); }

// Connects socket to the address of length bytes and blocks until it is made,
// going on where a signal interrupted the call. Returns 1 when connected, 0
// when it failed (the socket stays open).
int net_connect_address(NetSocket socket, const sockaddr* address, size_t length);

// Sends at most length bytes in one call, going on where a signal interrupted
// it; a peer that has gone makes it fail, never raises a signal. Returns the
// count sent, or 0 or less when the call failed.
long net_send_some(NetSocket socket, const void* data, size_t length);

// The calling thread's error of its last failed socket call: errno on POSIX,
// WSAGetLastError on Windows.
int net_last_error();
