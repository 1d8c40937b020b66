#include "tools/modem-sim/net.h"

#include <chrono>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketLength = int;
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketLength = socklen_t;
#endif

namespace net {
namespace {

#ifdef _WIN32
using Native = SOCKET;
constexpr Native BAD = INVALID_SOCKET;
#else
using Native = int;
constexpr Native BAD = -1;
#endif

Native N(Socket s) {
  return static_cast<Native>(s);
}

Socket S(Native n) {
  return n == BAD ? NO_SOCKET : static_cast<Socket>(n);
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// Waits for the socket to become readable or writable.
bool Wait(Socket s, bool write, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(N(s), &set);
  fd_set errors;
  FD_ZERO(&errors);
  FD_SET(N(s), &errors);
  timeval wait = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int n =
      select(static_cast<int>(N(s)) + 1, write ? nullptr : &set, write ? &set : nullptr, &errors, &wait);
  return n > 0;
}

bool WouldBlock() {
#ifdef _WIN32
  return WSAGetLastError() == WSAEWOULDBLOCK;
#else
  return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

}  // namespace

void SetBlocking(Socket s, bool blocking) {
#ifdef _WIN32
  u_long nonBlocking = blocking ? 0 : 1;
  ioctlsocket(N(s), FIONBIO, &nonBlocking);
#else
  const int flags = fcntl(N(s), F_GETFL, 0);
  fcntl(N(s), F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
#endif
}

bool Startup() {
#ifdef _WIN32
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
  signal(SIGPIPE, SIG_IGN);
  return true;
#endif
}

Socket Listen(uint16_t port, int backlog, uint16_t* bound) {
  const Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == BAD) return NO_SOCKET;
  sockaddr_in address = Loopback(port);
  SocketLength size = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(s, backlog) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    Close(S(s));
    return NO_SOCKET;
  }
  if (bound != nullptr) *bound = ntohs(address.sin_port);
  return S(s);
}

Socket Connect(uint16_t port, int timeoutMs) {
  const Socket s = S(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (s == NO_SOCKET) return NO_SOCKET;
  SetBlocking(s, false);
  sockaddr_in address = Loopback(port);
  connect(N(s), reinterpret_cast<sockaddr*>(&address), sizeof address);
  int error = -1;
  SocketLength size = sizeof error;
  if (!Wait(s, true, timeoutMs) ||
      getsockopt(N(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 || error != 0) {
    Close(s);
    return NO_SOCKET;
  }
  SetBlocking(s, true);
  return s;
}

Socket Accept(Socket listener, int timeoutMs) {
  if (!Wait(listener, false, timeoutMs)) return NO_SOCKET;
  return S(accept(N(listener), nullptr, nullptr));
}

bool Readable(Socket s, int timeoutMs) {
  return Wait(s, false, timeoutMs);
}

long Receive(Socket s, void* data, size_t size) {
  const long n = static_cast<long>(recv(N(s), static_cast<char*>(data), static_cast<int>(size), 0));
  return n < 0 ? -1 : n;
}

bool SendAll(Socket s, const void* data, size_t size, const std::atomic<bool>* stop) {
  constexpr int ROOM_WAIT_MS = 100;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const long n = static_cast<long>(send(N(s), p, static_cast<int>(size), 0));
    if (n < 0 && WouldBlock()) {
      if (stop != nullptr && *stop) return false;
      Wait(s, true, ROOM_WAIT_MS);
      continue;
    }
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(Socket s, void* data, size_t size, int timeoutMs) {
  const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeoutMs);
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const uint64_t now = NowMs();
    if (now >= deadline || !Readable(s, static_cast<int>(deadline - now))) return false;
    const long n = Receive(s, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

#ifdef _WIN32
constexpr int SHUT_SEND = SD_SEND, SHUT_BOTH = SD_BOTH;
#else
constexpr int SHUT_SEND = SHUT_WR, SHUT_BOTH = SHUT_RDWR;
#endif

void ShutdownSend(Socket s) {
  shutdown(N(s), SHUT_SEND);
}

void ShutdownBoth(Socket s) {
  shutdown(N(s), SHUT_BOTH);
}

void Reset(Socket s) {
  linger hard = {1, 0};
  setsockopt(N(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  Close(s);
}

void Close(Socket s) {
  if (s == NO_SOCKET) return;
#ifdef _WIN32
  closesocket(N(s));
#else
  close(N(s));
#endif
}

void SetNoDelay(Socket s) {
  const int on = 1;
  setsockopt(N(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void SetReceiveBuffer(Socket s, int bytes) {
  setsockopt(N(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace net
