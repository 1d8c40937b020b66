#pragma once
// A TCP server on 127.0.0.1 that a test drives by hand: blocking calls with
// time-outs, so that no test can hang on the network.
#include <winsock2.h>

#include <cstdint>
#include <string>
#include <vector>

// Starts Windows Sockets for the whole test program.
void StartSockets();

class LoopbackServer {
 public:
  explicit LoopbackServer(int backlog = 4);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t port() const { return port_; }
  std::string Address() const;  // "127.0.0.1:<port>"
  // Accepts one connection; false on time-out. A send to it that makes no
  // progress for 30 s fails, so that no test hangs on a stalled gateway.
  bool Accept(DWORD timeoutMs);
  bool Send(const void* data, size_t size);
  // Receives exactly `size` bytes into *out (appended); false on time-out or close.
  bool ReceiveExactly(size_t size, std::vector<uint8_t>* out, DWORD timeoutMs);
  // True once the peer has closed its side within the time; data before the close is skipped.
  bool SeesClose(DWORD timeoutMs);
  // The same, keeping the data received before the close in *out (appended);
  // *orderly, when given, tells a close (FIN) from a reset.
  bool ReceiveUntilClose(std::vector<uint8_t>* out, DWORD timeoutMs, bool* orderly = nullptr);
  void HalfClose();  // shutdown(SD_SEND): FIN, the connection stays open
  void Reset();      // abortive close: RST
  void CloseConnection();

 private:
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET peer_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

// A loopback port with nothing listening (connects are refused at once).
uint16_t UnusedLoopbackPort();

// A loopback listener that never accepts, its backlog filled, so that
// further connects to it hang until they are given up.
class FullListener {
 public:
  FullListener();
  ~FullListener();
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;
  std::string Address() const { return server_.Address(); }

 private:
  LoopbackServer server_;
  std::vector<SOCKET> fillers_;
};
