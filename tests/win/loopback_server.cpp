#include "tests/win/loopback_server.h"

#include <ws2tcpip.h>

namespace {

bool Readable(SOCKET s, DWORD timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv = {static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
  return select(0, &set, nullptr, nullptr, &tv) == 1;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

}  // namespace

void StartSockets() {
  static WSADATA data;
  static const int started = WSAStartup(MAKEWORD(2, 0), &data);
  (void)started;
}

LoopbackServer::LoopbackServer(int backlog) {
  StartSockets();
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(0);
  bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener_, backlog);
  int len = sizeof a;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

LoopbackServer::~LoopbackServer() {
  CloseConnection();
  closesocket(listener_);
}

std::string LoopbackServer::Address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

bool LoopbackServer::Accept(DWORD timeoutMs) {
  CloseConnection();
  if (!Readable(listener_, timeoutMs)) return false;
  peer_ = accept(listener_, nullptr, nullptr);
  const DWORD sendTimeoutMs = 30000;
  setsockopt(peer_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeoutMs),
             sizeof sendTimeoutMs);
  return peer_ != INVALID_SOCKET;
}

bool LoopbackServer::Send(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const int n = send(peer_, p, static_cast<int>(size), 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool LoopbackServer::ReceiveExactly(size_t size, std::vector<uint8_t>* out, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  char chunk[8192];
  while (size > 0) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline || !Readable(peer_, static_cast<DWORD>(deadline - now))) return false;
    const int n = recv(peer_, chunk, static_cast<int>(size < sizeof chunk ? size : sizeof chunk), 0);
    if (n <= 0) return false;
    out->insert(out->end(), chunk, chunk + n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool LoopbackServer::SeesClose(DWORD timeoutMs) {
  std::vector<uint8_t> skipped;
  return ReceiveUntilClose(&skipped, timeoutMs);
}

bool LoopbackServer::ReceiveUntilClose(std::vector<uint8_t>* out, DWORD timeoutMs, bool* orderly) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  char chunk[4096];
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline || !Readable(peer_, static_cast<DWORD>(deadline - now))) return false;
    const int n = recv(peer_, chunk, sizeof chunk, 0);
    if (orderly != nullptr) *orderly = n == 0;
    if (n <= 0) return true;
    out->insert(out->end(), chunk, chunk + n);
  }
}

void LoopbackServer::HalfClose() {
  shutdown(peer_, SD_SEND);
}

void LoopbackServer::Reset() {
  linger l = {1, 0};
  setsockopt(peer_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  closesocket(peer_);
  peer_ = INVALID_SOCKET;
}

void LoopbackServer::CloseConnection() {
  if (peer_ != INVALID_SOCKET) closesocket(peer_);
  peer_ = INVALID_SOCKET;
}

uint16_t UnusedLoopbackPort() {
  StartSockets();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  closesocket(s);
  return ntohs(a.sin_port);
}

FullListener::FullListener() : server_(1) {
  for (int i = 0; i < 8; ++i) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    sockaddr_in to = Loopback(server_.port());
    connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
    fillers_.push_back(s);
  }
  Sleep(200);
}

FullListener::~FullListener() {
  for (SOCKET s : fillers_) closesocket(s);
}
