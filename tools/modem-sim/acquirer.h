#pragma once
// The acquirer peer: a TCP server on 127.0.0.1 that answers every request
// frame (tools/modem-sim/exchange.h) with its checked reply, or misbehaves
// as told. Each connection is served by a thread of its own; at most
// CONNECTION_LIMIT at once, the rest are closed at once.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/modem-sim/net.h"

namespace modemsim {

enum class AcquirerMode : uint8_t {
  Serve,        // answer every request
  Refuse,       // no listener: connects are refused
  Reset,        // reset the connection once `after` bytes have come in
  HalfClose,    // end sending once `after` bytes have come in, go on reading
  StopReading,  // accept, never read
  SlowRead,     // read 512 bytes a tenth of a second, answer as usual
  HangConnect,  // a full backlog: connects are never completed
};

struct AcquirerCounts {
  uint32_t connections = 0;
  uint32_t closedByPeer = 0;  // connections the gateway ended (end of stream or reset)
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  uint32_t requests = 0;
  uint32_t damaged = 0;  // requests whose CRC did not hold, or a stream out of step
};

class AcquirerPeer {
 public:
  static constexpr uint32_t CONNECTION_LIMIT = 64;  // one a modem, as many as the program serves

  AcquirerPeer() = default;
  ~AcquirerPeer() { Stop(); }
  AcquirerPeer(const AcquirerPeer&) = delete;
  AcquirerPeer& operator=(const AcquirerPeer&) = delete;

  // Starts on `port` (0: the system picks; read port()). False when the
  // port cannot be had.
  bool Start(uint16_t port, AcquirerMode mode, uint64_t after = 0);
  // Ends every thread (each notices within a tenth of a second) and closes
  // every socket.
  void Stop();
  uint16_t port() const { return port_; }
  AcquirerCounts Counts();
  // Connections open now.
  uint32_t Open();
  // While paused no connection reads: a server that stops reading and
  // later goes on.
  void Pause(bool paused) { paused_ = paused; }
  // Prints one line per connection event when set.
  void SetVerbose(bool verbose) { verbose_ = verbose; }

 private:
  void AcceptLoop();
  void Serve(net::Socket s, uint32_t number);

  AcquirerMode mode_ = AcquirerMode::Serve;
  uint64_t after_ = 0;
  uint16_t port_ = 0;
  net::Socket listener_ = net::NO_SOCKET;
  net::Socket backlogFiller_ = net::NO_SOCKET;  // HangConnect: the one connection the backlog holds
  std::atomic<bool> stop_{false};
  std::atomic<bool> verbose_{false};
  std::atomic<bool> paused_{false};
  std::thread acceptor_;
  std::mutex lock_;  // guards counts_, threads_, open_
  AcquirerCounts counts_;
  std::vector<std::thread> threads_;
  uint32_t open_ = 0;
};

}  // namespace modemsim
