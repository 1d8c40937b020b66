#include "tools/demo/acquirer_server.h"

#include <cstring>

#include "base/result_codes.h"
#include "tools/demo/demo_output.h"
#include "tools/demo/milestones.h"

namespace {

constexpr char REPLY_HEADER[] = "ACK:";
constexpr uint32_t REPLY_HEADER_SIZE = sizeof REPLY_HEADER - 1;
constexpr uint32_t REQUEST_SIZE = 4096;
constexpr int MAX_REPLIES = 16;
constexpr ULONGLONG LIFETIME_MS = 30000;
// Every wait is this short, so that a stop request is seen quickly.
constexpr DWORD SLICE_MS = 100;

bool Readable(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval slice = {0, static_cast<long>(SLICE_MS * 1000)};
  return select(0, &set, nullptr, nullptr, &slice) == 1;
}

bool SendAll(SOCKET s, const uint8_t* bytes, uint32_t size) {
  while (size > 0) {
    const int sent = send(s, reinterpret_cast<const char*>(bytes), static_cast<int>(size), 0);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<uint32_t>(sent);
  }
  return true;
}

bool GoOn(const AcquirerServer* server, ULONGLONG deadline) {
  return server->stopRequested.load() == 0 && GetTickCount64() < deadline;
}

SOCKET AcceptOne(AcquirerServer* server, ULONGLONG deadline) {
  while (GoOn(server, deadline)) {
    if (Readable(server->listener)) return accept(server->listener, nullptr, nullptr);
  }
  return INVALID_SOCKET;
}

void Answer(AcquirerServer* server, SOCKET peer, ULONGLONG deadline) {
  int replies = 0;
  while (GoOn(server, deadline)) {
    if (!Readable(peer)) continue;
    uint8_t request[REQUEST_SIZE];
    const int received = recv(peer, reinterpret_cast<char*>(request), sizeof request, 0);
    if (received == 0) {
      Say("acquirer", "the gateway closed the connection");
      Reach(MS_SERVER_CLOSED);
      return;
    }
    if (received < 0) {
      Say("acquirer", "connection failed (error %d)", WSAGetLastError());
      return;
    }
    if (replies == MAX_REPLIES) {
      Say("acquirer", "%d replies given: that is all", MAX_REPLIES);
      return;
    }
    uint8_t reply[REQUEST_SIZE + REPLY_HEADER_SIZE];
    const uint32_t size = MakeAcquirerReply(request, static_cast<uint32_t>(received), reply, sizeof reply);
    char text[REQUEST_SIZE + REPLY_HEADER_SIZE + 1];
    PrintableText(request, static_cast<uint32_t>(received), text, sizeof text);
    Say("acquirer", "<- %d bytes \"%s\"", received, text);
    if (!SendAll(peer, reply, size)) {
      Say("acquirer", "reply not sent (error %d)", WSAGetLastError());
      return;
    }
    PrintableText(reply, size, text, sizeof text);
    Say("acquirer", "-> %u bytes \"%s\"", static_cast<unsigned>(size), text);
    ++replies;
  }
}

DWORD WINAPI Serve(LPVOID param) {
  auto* server = static_cast<AcquirerServer*>(param);
  const ULONGLONG deadline = GetTickCount64() + LIFETIME_MS;
  const SOCKET peer = AcceptOne(server, deadline);
  if (peer == INVALID_SOCKET) return 0;
  Say("acquirer", "connection accepted");
  Answer(server, peer, deadline);
  closesocket(peer);
  return 0;
}

}  // namespace

uint32_t MakeAcquirerReply(const uint8_t* request, uint32_t size, uint8_t* reply, uint32_t room) {
  if (room < REPLY_HEADER_SIZE || size > room - REPLY_HEADER_SIZE) return 0;
  std::memcpy(reply, REPLY_HEADER, REPLY_HEADER_SIZE);
  for (uint32_t i = 0; i < size; ++i) reply[REPLY_HEADER_SIZE + i] = request[size - 1 - i];
  return REPLY_HEADER_SIZE + size;
}

HRESULT StartAcquirerServer(AcquirerServer* server) {
  server->thread = nullptr;
  server->stopRequested.store(0);
  server->listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (server->listener == INVALID_SOCKET) return GW_E_NETWORK;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(server->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(server->listener, 1) != 0 ||
      getsockname(server->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return GW_E_NETWORK;
  }
  server->port = ntohs(address.sin_port);
  server->thread = CreateThread(nullptr, 0, Serve, server, 0, nullptr);
  return server->thread != nullptr ? S_OK : E_FAIL;
}

void StopAcquirerServer(AcquirerServer* server) {
  if (server->thread != nullptr) {
    server->stopRequested.store(1);
    WaitForSingleObject(server->thread, INFINITE);
    CloseHandle(server->thread);
    server->thread = nullptr;
  }
  if (server->listener != INVALID_SOCKET) {
    closesocket(server->listener);
    server->listener = INVALID_SOCKET;
  }
}
