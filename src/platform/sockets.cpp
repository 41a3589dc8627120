// The socket helpers that every system shares, on top of its own (platform/unix/sockets.cpp,
// platform/win/sockets.cpp): name resolution works the same through getaddrinfo everywhere.
#include "platform/sockets.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

int socket_resolve(const char *host, const char *port, addrinfo **addresses) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  *addresses = nullptr;
  return getaddrinfo(host, port, &hints, addresses);
}

void socket_free_addresses(addrinfo *addresses) {
  if (addresses != nullptr) freeaddrinfo(addresses);
}

const addrinfo *socket_next_address(const addrinfo *address) { return address->ai_next; }
