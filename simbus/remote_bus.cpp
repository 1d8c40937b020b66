// The simulated build's bus served to another process (simbus/
// bus_protocol.h). Linked into varnel-sim.exe only, never into the product
// or the test programs: a static object starts the listener before WinMain
// when VARNEL_BUS_PORT names a port, so the program's own start-up is the
// same code as the product's. Each connection gets a thread that carries
// its requests to LocalBus() one at a time.
#include <winsock2.h>
#include <windows.h>
// After windows.h, which they need.

#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "base/proc_address.h"
#include "simbus/bus_protocol.h"
#include "simbus/bus_wire.h"
#include "simbus/modem_bus.h"
#include "simbus/process_counts.h"

namespace simbus {
namespace {

constexpr DWORD EXIT_REPLY_WAIT_MS = 2000;  // for AwaitExit replies as the program ends

// Names the calling thread where the system can (Windows 10 and later; Wine
// passes the name on to the host's thread list), so that a benchmark tells
// the bus server's processor time from the gateway's.
void NameThisThread(const wchar_t* name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto set = kernel == nullptr ? nullptr : ProcAddress<SetDescription>(kernel, "SetThreadDescription");
  if (set != nullptr) set(GetCurrentThread(), name);
}

bool ReceiveAll(SOCKET s, uint8_t* data, uint32_t size) {
  while (size > 0) {
    const int n = recv(s, reinterpret_cast<char*>(data), static_cast<int>(size), 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<uint32_t>(n);
  }
  return true;
}

bool SendAll(SOCKET s, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n =
        send(s, reinterpret_cast<const char*>(bytes.data() + sent), static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Lives for the process's life once started (never freed: its threads may
// still be in a call when the process ends).
class BusServer {
 public:
  void Start(const char* text) {
    const long port = std::strtol(text, nullptr, 10);
    exitEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (port <= 0 || port > 65535 || exitEvent_ == nullptr || !Listen(static_cast<uint16_t>(port))) {
      // Nobody could drive this program: say so and leave.
      std::fprintf(stderr, "varnel-sim: cannot serve the modem bus on 127.0.0.1:%s (is the port in use?)\n",
                   text);
      std::fflush(stderr);
      ExitProcess(2);
    }
    HANDLE thread = CreateThread(nullptr, 0, AcceptLoop, this, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
  }

  // As the program ends, after WinMain returned: every worker has been
  // joined by then. Waiting AwaitExit requests get their answer (bounded
  // wait), then every connection is closed.
  void End() {
    SetEvent(exitEvent_);
    const ULONGLONG deadline = GetTickCount64() + EXIT_REPLY_WAIT_MS;
    while (awaiting_ > 0 && GetTickCount64() < deadline) Sleep(10);
    std::lock_guard<std::mutex> hold(lock_);
    closesocket(listener_);
    for (SOCKET s : connections_) closesocket(s);
    connections_.clear();
  }

 private:
  bool Listen(uint16_t port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return listener_ != INVALID_SOCKET &&
           bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           listen(listener_, 4) == 0;
  }

  struct Connection {
    BusServer* server;
    SOCKET socket;
  };

  static DWORD WINAPI AcceptLoop(LPVOID param) {
    auto* self = static_cast<BusServer*>(param);
    for (;;) {
      const SOCKET s = accept(self->listener_, nullptr, nullptr);
      if (s == INVALID_SOCKET) return 0;
      const BOOL noDelay = TRUE;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
      {
        std::lock_guard<std::mutex> hold(self->lock_);
        if (self->connections_.size() >= BUS_CONNECTION_LIMIT) {
          closesocket(s);
          continue;
        }
        self->connections_.insert(s);
      }
      HANDLE thread = CreateThread(nullptr, 0, Serve, new Connection{self, s}, 0, nullptr);
      if (thread != nullptr) {
        CloseHandle(thread);
      } else {
        self->Forget(s);
      }
    }
  }

  void Forget(SOCKET s) {
    std::lock_guard<std::mutex> hold(lock_);
    if (connections_.erase(s) != 0) closesocket(s);
  }

  static DWORD WINAPI Serve(LPVOID param) {
    NameThisThread(L"varnel-bus");
    const Connection connection = *static_cast<Connection*>(param);
    delete static_cast<Connection*>(param);
    std::vector<uint8_t> frame;
    for (;;) {
      uint8_t header[4];
      if (!ReceiveAll(connection.socket, header, sizeof header)) break;
      WireReader lengthReader(header, sizeof header);
      const uint32_t length = lengthReader.U32();
      if (length == 0 || length > BUS_FRAME_LIMIT) break;
      frame.resize(length);
      if (!ReceiveAll(connection.socket, frame.data(), length)) break;
      WireWriter reply;
      reply.U32(0);  // the length, filled in below
      connection.server->Handle(frame, &reply);
      const uint32_t size = static_cast<uint32_t>(reply.bytes.size() - 4);
      for (int i = 0; i < 4; ++i) reply.bytes[i] = static_cast<uint8_t>(size >> (8 * i));
      const bool sent = SendAll(connection.socket, reply.bytes);
      if (static_cast<BusOp>(frame[0]) == BusOp::AwaitExit) --connection.server->awaiting_;
      if (!sent) break;
    }
    connection.server->Forget(connection.socket);
    return 0;
  }

  // One request: the result byte and the fields of the reply.
  void Handle(const std::vector<uint8_t>& frame, WireWriter* reply) {
    ModemBus& bus = LocalBus();
    WireReader in(frame.data(), frame.size());
    const auto op = static_cast<BusOp>(in.U8());
    WireWriter out;
    bool ok = true;
    switch (op) {
      case BusOp::Hello:
        out.U32(BUS_PROTOCOL_VERSION);
        break;
      case BusOp::Plug: {
        ModemLayout layout;
        const uint8_t interfaces = in.U8();
        for (uint8_t i = 0; i < interfaces && in.Ok(); ++i) {
          InterfaceLayout face;
          face.interfaceClass = in.U8();
          face.interfaceSubClass = in.U8();
          face.interfaceProtocol = in.U8();
          const uint8_t pipes = in.U8();
          for (uint8_t p = 0; p < pipes && in.Ok(); ++p) {
            PipeLayout pipe;
            pipe.pipeId = in.U8();
            pipe.pipeType = in.U8();
            pipe.maxPacketSize = in.U16();
            face.pipes.push_back(pipe);
          }
          layout.interfaces.push_back(face);
        }
        ok = in.Whole();
        if (ok) {
          const int modem = bus.Plug(layout);
          Remember(modem);
          out.I32(modem);
        }
        break;
      }
      case BusOp::Unplug:
      case BusOp::CompleteRemoval: {
        const int modem = in.I32();
        ok = in.Whole();
        if (ok && op == BusOp::Unplug) bus.Unplug(modem);
        if (ok && op == BusOp::CompleteRemoval) bus.CompleteRemoval(modem);
        break;
      }
      case BusOp::QueryRemove:
      case BusOp::Replug: {
        const int modem = in.I32();
        ok = in.Whole();
        if (ok) out.U8((op == BusOp::QueryRemove ? bus.QueryRemove(modem) : bus.Replug(modem)) ? 1 : 0);
        break;
      }
      case BusOp::Remove: {
        const int modem = in.I32();
        const uint8_t notice = in.U8();
        const uint32_t pendingError = in.U32();
        const uint32_t callError = in.U32();
        ok = in.Whole() && notice <= static_cast<uint8_t>(RemovalNotice::PendingOnly);
        if (ok) bus.Remove(modem, {static_cast<RemovalNotice>(notice), pendingError, callError});
        break;
      }
      case BusOp::LastFileOpen: {
        const int modem = in.I32();
        ok = in.Whole();
        FileOpen open = {};
        if (ok) {
          out.U8(bus.LastFileOpen(modem, &open) ? 1 : 0);
          for (uint32_t field : {open.access, open.shareMode, open.disposition, open.flags}) out.U32(field);
        }
        break;
      }
      case BusOp::OpenDeviceSets:
        ok = in.Whole();
        if (ok) out.U32(bus.OpenDeviceSets());
        break;
      case BusOp::TakeReleases: {
        const int modem = in.I32();
        ok = in.Whole();
        if (ok) {
          for (const Release& release : bus.TakeReleases(modem)) {
            out.U8(static_cast<uint8_t>(release.call));
            out.U8(release.interfaceIndex);
          }
        }
        break;
      }
      case BusOp::DevicePath: {
        const int modem = in.I32();
        ok = in.Whole();
        const char* path = ok ? bus.DevicePath(modem) : nullptr;
        out.U8(path != nullptr ? 1 : 0);
        if (path != nullptr) out.Raw(path, std::strlen(path));
        break;
      }
      case BusOp::Deliver:
      case BusOp::DeliverPackets: {
        const int modem = in.I32();
        const uint8_t pipe = in.U8();
        const std::vector<uint8_t> data = in.Rest();
        ok = in.Ok();
        const auto size = static_cast<uint32_t>(data.size());
        if (ok) {
          const bool sent = op == BusOp::Deliver ? bus.Deliver(modem, pipe, data.data(), size)
                                                 : bus.DeliverPackets(modem, pipe, data.data(), size);
          out.U8(sent ? 1 : 0);
        }
        break;
      }
      case BusOp::Stall: {
        const int modem = in.I32();
        const uint8_t pipe = in.U8();
        ok = in.Whole();
        if (ok) out.U8(bus.Stall(modem, pipe) ? 1 : 0);
        break;
      }
      case BusOp::FailTransfer: {
        const int modem = in.I32();
        const uint8_t pipe = in.U8();
        const uint32_t error = in.U32();
        ok = in.Whole();
        if (ok) out.U8(bus.FailTransfer(modem, pipe, error) ? 1 : 0);
        break;
      }
      case BusOp::SetAccess: {
        const int modem = in.I32();
        ModemAccess access;
        access.security = static_cast<DeviceSecurity>(in.U8());
        access.heldElsewhere = in.U8() != 0;
        access.vetoesRemoval = in.U8() != 0;
        ok = in.Whole() && access.security <= DeviceSecurity::EveryoneFull;
        if (ok) out.U8(bus.SetAccess(modem, access) ? 1 : 0);
        break;
      }
      case BusOp::SetCallerElevated: {
        const uint8_t elevated = in.U8();
        ok = in.Whole();
        if (ok) bus.SetCallerElevated(elevated != 0);
        break;
      }
      case BusOp::FileOpens: {
        const int modem = in.I32();
        ok = in.Whole();
        if (ok) {
          for (const FileOpen& open : bus.FileOpens(modem)) {
            for (uint32_t field : {open.access, open.shareMode, open.disposition, open.flags, open.error})
              out.U32(field);
          }
        }
        break;
      }
      case BusOp::Take: {
        const int modem = in.I32();
        const uint8_t pipe = in.U8();
        const uint32_t timeoutMs = in.U32();
        ok = in.Whole() && timeoutMs <= BUS_TAKE_WAIT_LIMIT_MS;
        std::vector<uint8_t> message;
        if (ok) {
          const bool taken = bus.Take(modem, pipe, &message, timeoutMs);
          out.U8(taken ? 1 : 0);
          if (taken) out.Raw(message.data(), message.size());
        }
        break;
      }
      case BusOp::Exchange: {
        const int modem = in.I32();
        std::vector<ModemSend> sends(in.U8());
        for (ModemSend& send : sends) {
          send.pipeId = in.U8();
          const uint32_t size = in.U32();
          ok = ok && in.Ok() && size <= BUS_TRANSFER_LIMIT && in.Take(size, &send.bytes);
        }
        const uint8_t takePipe = in.U8();
        const uint8_t limit = in.U8();
        const uint32_t timeoutMs = in.U32();
        ok = ok && in.Whole() && timeoutMs <= BUS_TAKE_WAIT_LIMIT_MS;
        std::vector<std::vector<uint8_t>> taken;
        if (ok) {
          out.U8(bus.Exchange(modem, sends, takePipe, limit, timeoutMs, &taken) ? 1 : 0);
          out.U8(static_cast<uint8_t>(taken.size()));
          for (const std::vector<uint8_t>& message : taken) {
            out.U32(static_cast<uint32_t>(message.size()));
            out.Raw(message.data(), message.size());
          }
        }
        break;
      }
      case BusOp::HoldWrites: {
        const int modem = in.I32();
        const uint8_t pipe = in.U8();
        const uint8_t hold = in.U8();
        ok = in.Whole();
        if (ok) bus.HoldWrites(modem, pipe, hold != 0);
        break;
      }
      case BusOp::PendingTransfers:
      case BusOp::OpenHandles:
      case BusOp::HandleRegistrations: {
        const int modem = in.I32();
        ok = in.Whole();
        if (ok) out.U32(Count(op, modem));
        break;
      }
      case BusOp::Waiting: {
        const int modem = in.I32();
        const uint8_t pipe = in.U8();
        ok = in.Whole();
        if (ok) out.U32(bus.Waiting(modem, pipe));
        break;
      }
      case BusOp::PipePolicy: {
        const int modem = in.I32();
        const uint8_t pipe = in.U8();
        const uint32_t policy = in.U32();
        ok = in.Whole();
        uint8_t value = 0;
        if (ok) {
          out.U8(bus.PipePolicy(modem, pipe, policy, &value) ? 1 : 0);
          out.U8(value);
        }
        break;
      }
      case BusOp::FailCall: {
        const int modem = in.I32();
        const auto call = static_cast<BusCall>(in.U32());
        const int32_t argument = in.I32();
        const uint32_t error = in.U32();
        ok = in.Whole() && call <= BusCall::AbortPipe;
        if (ok) bus.FailCall(modem, call, argument, error);
        break;
      }
      case BusOp::ProcessCounts:
        ok = in.Whole();
        if (ok) ProcessCounts(&out);
        break;
      case BusOp::AwaitExit:
        ok = in.Whole();
        if (ok) AwaitExit(&out);
        break;
      default:
        ok = false;
        break;
    }
    reply->U8(static_cast<uint8_t>(ok ? BusResult::Done : BusResult::BadRequest));
    if (ok) reply->Raw(out.bytes.data(), out.bytes.size());
  }

  uint32_t Count(BusOp op, int modem) {
    ModemBus& bus = LocalBus();
    if (op == BusOp::PendingTransfers) return bus.PendingTransfers(modem);
    if (op == BusOp::OpenHandles) return bus.OpenHandles(modem);
    return bus.HandleRegistrations(modem);
  }

  // What a leak would grow: handles, threads, private memory (KiB).
  static void ProcessCounts(WireWriter* out) {
    const simbus::ProcessCounters counts = simbus::CountProcess();
    out->U32(counts.handles);
    out->U32(counts.threads);
    out->U32(counts.privateKiB);
  }

  void Remember(int modem) {
    std::lock_guard<std::mutex> hold(lock_);
    plugged_.insert(modem);
  }

  // Blocks until the program ends, then counts what every modem ever
  // plugged still has open: the program closed everything when all are 0.
  // Counted until its reply is sent (in Serve).
  void AwaitExit(WireWriter* out) {
    ++awaiting_;
    WaitForSingleObject(exitEvent_, INFINITE);
    std::set<int> modems;
    {
      std::lock_guard<std::mutex> hold(lock_);
      modems = plugged_;
    }
    uint32_t counts[3] = {};
    for (int modem : modems) {
      counts[0] += Count(BusOp::OpenHandles, modem);
      counts[1] += Count(BusOp::PendingTransfers, modem);
      counts[2] += Count(BusOp::HandleRegistrations, modem);
    }
    for (uint32_t count : counts) out->U32(count);
  }

  SOCKET listener_ = INVALID_SOCKET;
  HANDLE exitEvent_ = nullptr;  // owned for the process's life
  std::mutex lock_;             // guards connections_ and plugged_
  std::set<SOCKET> connections_;
  std::set<int> plugged_;
  std::atomic<int> awaiting_{0};
};

// The start hook: made before WinMain, ended after it returns.
struct ServerHook {
  // The bus itself is never destroyed (bus_state.cpp), so it is still
  // there when this hook ends and while the connection threads run on.
  ServerHook() {
    const char* port = std::getenv(BUS_PORT_VARIABLE);
    if (port == nullptr || port[0] == '\0') return;
    server = new BusServer();
    server->Start(port);
  }
  ~ServerHook() {
    if (server != nullptr) server->End();
  }
  BusServer* server = nullptr;
} g_serverHook;

}  // namespace
}  // namespace simbus
