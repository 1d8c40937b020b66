// Streaming throughput of one bridge: a simulated modem that costs nothing
// keeps its data pipe busy while a loopback server streams, 64 MiB each
// way, one direction at a time and both at once, every byte checked. Beside
// it, a plain relay of the same shape (two threads copying between loopback
// sockets) under the same Wine in the same run: the platform's ceiling.
// Each rate is also given as a multiple of the USB full-speed bulk limit.
// Afterwards, the buffers the bridge holds. Bounded in volume and time:
//   stream_bench [MIB each way, 1..1024, default 64]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "bridge/buffer_queues.h"
#include "simbus/modem_bus.h"
#include "tools/bench/bench_link.h"

namespace {

size_t g_volume = 64u * 1024 * 1024;  // each way; set once by main
constexpr size_t CHUNK = IO_BUFFER_SIZE;
constexpr size_t PIECE = 64 * 1024;      // the server's sends and receives
constexpr uint32_t MODEM_AHEAD = 16;     // transfers the modem keeps waiting on its pipe
constexpr double USB_LIMIT = 1216000.0;  // bytes a second each way: 19 packets of 64 bytes a frame
constexpr DWORD STEP_TIMEOUT_MS = 30000;

using Clock = std::chrono::steady_clock;

// The stream's byte at `offset`: every byte is checked where it arrives.
uint8_t StreamByte(uint64_t offset, uint8_t salt) {
  return static_cast<uint8_t>((offset * 7 + offset / 251 + salt) % 251);
}

void Fill(std::vector<uint8_t>* bytes, uint64_t offset, uint8_t salt) {
  for (size_t i = 0; i < bytes->size(); ++i) (*bytes)[i] = StreamByte(offset + i, salt);
}

bool Check(const uint8_t* bytes, size_t size, uint64_t offset, uint8_t salt) {
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != StreamByte(offset + i, salt)) return false;
  }
  return true;
}

// One end of the path: the modem's pipes, or a plain socket for the reference.
struct End {
  std::function<bool(const std::vector<uint8_t>&)> send;
  std::function<bool(std::vector<uint8_t>*)> receive;  // whatever arrives next
};

bool Produce(const End& end, size_t chunk, uint8_t salt) {
  std::vector<uint8_t> bytes(chunk);
  for (uint64_t sent = 0; sent < g_volume; sent += chunk) {
    Fill(&bytes, sent, salt);
    if (!end.send(bytes)) return false;
  }
  return true;
}

bool Consume(const End& end, uint8_t salt) {
  std::vector<uint8_t> piece;
  for (uint64_t got = 0; got < g_volume; got += piece.size()) {
    if (!end.receive(&piece) || !Check(piece.data(), piece.size(), got, salt)) return false;
  }
  return true;
}

struct Rates {
  double up, down;  // MiB/s; 0 when not run or failed
};

double MiBPerSecond(Clock::duration elapsed) {
  return static_cast<double>(g_volume) / (1024.0 * 1024.0) / std::chrono::duration<double>(elapsed).count();
}

// Runs the chosen directions at once and times each.
Rates Run(const End& modem, const End& server, bool up, bool down) {
  std::atomic<bool> ok{true};
  Rates rates = {0, 0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  if (up) {
    threads.emplace_back([&] { ok = Produce(modem, CHUNK, 1) && ok; });
    threads.emplace_back([&] {
      ok = Consume(server, 1) && ok;
      rates.up = MiBPerSecond(Clock::now() - start);
    });
  }
  if (down) {
    threads.emplace_back([&] { ok = Produce(server, PIECE, 2) && ok; });
    threads.emplace_back([&] {
      ok = Consume(modem, 2) && ok;
      rates.down = MiBPerSecond(Clock::now() - start);
    });
  }
  for (std::thread& t : threads) t.join();
  return ok ? rates : Rates{0, 0};
}

End ServerEnd(LoopbackServer* server) {
  return {[server](const std::vector<uint8_t>& b) { return server->Send(b.data(), b.size()); },
          [server](std::vector<uint8_t>* piece) {
            piece->clear();
            return server->ReceiveExactly(PIECE, piece, STEP_TIMEOUT_MS);
          }};
}

End ModemEnd(BridgedModem* modem) {
  return {[modem](const std::vector<uint8_t>& b) {
            // A modem that costs nothing: it keeps a few blocks waiting on
            // its pipe, never more, as one stream of full packets (a
            // zero-length packet after each 4 KiB block would cost the
            // worker an empty read a block).
            const Clock::time_point end = Clock::now() + std::chrono::milliseconds(STEP_TIMEOUT_MS);
            while (simbus::LocalBus().Waiting(modem->modem(), simbus::DATA_IN) >= MODEM_AHEAD) {
              if (Clock::now() > end) return false;
              Sleep(1);  // a spinning modem would take the worker's processor
            }
            return simbus::LocalBus().DeliverPackets(modem->modem(), simbus::DATA_IN, b.data(),
                                                     static_cast<uint32_t>(b.size()));
          },
          [modem](std::vector<uint8_t>* piece) { return modem->TakeData(piece, STEP_TIMEOUT_MS); }};
}

// Copies one socket's stream to another until it closes; the plain relay.
void Copy(SOCKET from, SOCKET to) {
  char buffer[CHUNK];
  for (;;) {
    const int n = recv(from, buffer, sizeof buffer, 0);
    if (n <= 0 || send(to, buffer, n, 0) != n) break;
  }
  shutdown(to, SD_SEND);
}

End SocketEnd(SOCKET s) {
  return {[s](const std::vector<uint8_t>& b) {
            return send(s, reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()), 0) ==
                   static_cast<int>(b.size());
          },
          [s](std::vector<uint8_t>* piece) {
            piece->resize(CHUNK);
            const int n = recv(s, reinterpret_cast<char*>(piece->data()), static_cast<int>(CHUNK), 0);
            piece->resize(n > 0 ? static_cast<size_t>(n) : 0);
            return n > 0;
          }};
}

void PrintRow(const char* what, const Rates& gateway, const Rates& plain) {
  auto usb = [](double mib) { return mib * 1024 * 1024 / USB_LIMIT; };
  auto share = [](double a, double b) { return b > 0 ? 100.0 * a / b : 0.0; };
  std::printf("%-16s %9.1f %9.1f %7.1fx %7.1fx %9.1f %9.1f %7.0f%% %7.0f%%\n", what, gateway.up, gateway.down,
              usb(gateway.up), usb(gateway.down), plain.up, plain.down, share(gateway.up, plain.up),
              share(gateway.down, plain.down));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const long mib = std::strtol(argv[1], nullptr, 10);
    if (mib < 1 || mib > 1024) {
      std::puts("usage: stream_bench [MIB each way, 1..1024]");
      return 2;
    }
    g_volume = static_cast<size_t>(mib) << 20;
  }
  TestWindow window;
  BridgedModem modem;
  LoopbackServer server;
  if (!LinkBridge("stream_bench", &window, &modem, &server)) return 1;

  // The reference: modem stand-in -> relay -> server, over plain sockets.
  LoopbackServer plainServer;
  const SOCKET relayListener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int atSize = sizeof at;
  if (bind(relayListener, reinterpret_cast<sockaddr*>(&at), atSize) != 0 || listen(relayListener, 1) != 0 ||
      getsockname(relayListener, reinterpret_cast<sockaddr*>(&at), &atSize) != 0)
    return 1;
  const SOCKET plainModem = ConnectLoopback(ntohs(at.sin_port));
  const SOCKET relayInSocket = accept(relayListener, nullptr, nullptr);
  closesocket(relayListener);
  const SOCKET relayOut = ConnectLoopback(plainServer.port());
  if (plainModem == INVALID_SOCKET || relayInSocket == INVALID_SOCKET || relayOut == INVALID_SOCKET ||
      !plainServer.Accept(STEP_TIMEOUT_MS))
    return 1;
  std::thread relayUp(Copy, relayInSocket, relayOut);
  std::thread relayDown(Copy, relayOut, relayInSocket);

  std::printf("stream_bench: %zu MiB each way, every byte checked; MiB/s, multiples of the USB limit\n",
              g_volume >> 20);
  std::printf("(1.16 MiB/s), and the gateway's share of the plain relay's rate\n");
  std::printf("%-16s %9s %9s %8s %8s %9s %9s %8s %8s\n", "directions", "gw up", "gw down", "up/USB",
              "down/USB", "ref up", "ref down", "up/ref", "down/ref");
  const End gwModem = ModemEnd(&modem), gwServer = ServerEnd(&server);
  const End refModem = SocketEnd(plainModem), refServer = ServerEnd(&plainServer);
  const struct {
    const char* name;
    bool up, down;
  } modes[] = {
      {"modem -> server", true, false}, {"server -> modem", false, true}, {"both at once", true, true}};
  char held[sizeof modes / sizeof modes[0]][96];
  for (size_t i = 0; i < sizeof modes / sizeof modes[0]; ++i) {
    PrintRow(modes[i].name, Run(gwModem, gwServer, modes[i].up, modes[i].down),
             Run(refModem, refServer, modes[i].up, modes[i].down));
    window.Pump(200);  // the worker settles
    const ModemBridge* b = modem.bridge();
    std::snprintf(held[i], sizeof held[i],
                  "%-16s %ld pool buffers, %ld queued to send, %ld queued to the modem", modes[i].name,
                  static_cast<long>(b->poolCount), static_cast<long>(b->sendQueued.load()),
                  static_cast<long>(b->dataOutQueued.load()));
  }
  std::printf("held by the bridge after each (pool bound %ld, queue high mark %ld):\n",
              static_cast<long>(POOL_LIMIT), static_cast<long>(FLOW_HIGH_MARK));
  for (const char* line : held) std::printf("  %s\n", line);

  shutdown(plainModem, SD_SEND);
  plainServer.CloseConnection();
  relayUp.join();
  relayDown.join();
  closesocket(plainModem);
  closesocket(relayOut);
  closesocket(relayInSocket);
  return 0;
}
