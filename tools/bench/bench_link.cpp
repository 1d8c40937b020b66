#include "tools/bench/bench_link.h"

#include <cstdio>
#include <vector>

bool LinkBridge(const char* name, TestWindow* window, BridgedModem* modem, LoopbackServer* server) {
  StartSockets();
  if (!modem->Start()) {
    std::printf("%s: no bridge\n", name);
    return false;
  }
  modem->SendConnect(server->Address());
  if (!server->Accept(5000) || modem->NextControl() != std::vector<uint8_t>{3}) {
    std::printf("%s: no link\n", name);
    return false;
  }
  window->Pump(50);
  return true;
}

SOCKET ConnectLoopback(uint16_t port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    closesocket(s);
    s = INVALID_SOCKET;
  }
  return s;
}
