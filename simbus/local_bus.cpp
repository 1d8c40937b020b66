// The ModemBus of this process: what tests do to the simulated modems. Every
// action takes the bus lock for its change and sends device messages only
// after releasing it, since the receiving window calls back into the bus.
// SendMessageA to a window of another thread waits until that thread pumps
// its messages, as with the system's own notifications.
#include <cstdio>
#include <memory>

#include "simbus/bus_protocol.h"
#include "simbus/bus_state.h"

namespace simbus {

namespace {

class LocalModemBus final : public ModemBus {
 public:
  int Plug(const ModemLayout& layout) override {
    Bus& bus = TheBus();
    std::vector<Notice> notices;
    int id = 0;
    {
      BusLock lock(bus);
      id = bus.nextModem++;
      auto modem = std::make_unique<Modem>();
      modem->id = id;
      char path[96];
      std::snprintf(path, sizeof(path),
                    "\\\\?\\usb#vid_0000&pid_0000#sim%d#{003b07b0-c9b0-11dc-bd0b-001d6055e580}", id);
      modem->path = path;
      modem->layout = layout;
      for (size_t i = 0; i < layout.interfaces.size(); ++i) {
        for (const PipeLayout& pipeLayout : layout.interfaces[i].pipes) {
          PipeState& pipe = modem->pipes[{static_cast<uint8_t>(i), pipeLayout.pipeId}];
          pipe.layout = pipeLayout;
          pipe.interfaceIndex = static_cast<uint8_t>(i);
        }
      }
      notices = InterfaceNotices(bus, *modem, DBT_DEVICEARRIVAL);
      bus.modems[id] = std::move(modem);
    }
    SendNotices(notices);
    return id;
  }

  void Unplug(int id) override {
    Remove(id, {RemovalNotice::Complete, VANISHED_PENDING_ERROR, VANISHED_CALL_ERROR});
  }

  void Remove(int id, const Removal& removal) override {
    ChangeModem(id, [&](Bus& bus, Modem& modem, std::vector<Notice>* notices) {
      if (!modem.present) return false;
      // Notices are built while the files still count as the modem's.
      if (removal.notice == RemovalNotice::PendingOnly) {
        *notices = HandleNotices(bus, modem, DBT_DEVICEREMOVEPENDING);
      } else if (removal.notice == RemovalNotice::Complete) {
        *notices = RemovalNotices(bus, modem);
      }
      modem.removalHeld = removal.notice == RemovalNotice::Late;
      bus.Vanish(&modem, removal.pendingError, removal.callError);
      return true;
    });
  }

  void CompleteRemoval(int id) override {
    ChangeModem(id, [](Bus& bus, Modem& modem, std::vector<Notice>* notices) {
      if (!modem.removalHeld) return false;
      modem.removalHeld = false;
      *notices = RemovalNotices(bus, modem);
      return true;
    });
  }

  bool Replug(int id) override {
    return ChangeModem(id, [](Bus& bus, Modem& modem, std::vector<Notice>* notices) {
      if (modem.present) return false;
      modem.present = true;
      modem.removalHeld = false;
      ++modem.generation;
      // A device that returns starts afresh: no data, halts or policies.
      for (auto& entry : modem.pipes) {
        PipeState fresh;
        fresh.layout = entry.second.layout;
        fresh.interfaceIndex = entry.second.interfaceIndex;
        entry.second = fresh;
      }
      *notices = InterfaceNotices(bus, modem, DBT_DEVICEARRIVAL);
      return true;
    });
  }

  bool QueryRemove(int id) override {
    Bus& bus = TheBus();
    std::vector<Notice> notices;
    {
      BusLock lock(bus);
      Modem* modem = bus.FindModem(id);
      if (modem == nullptr || !modem->present) return false;
      notices = HandleNotices(bus, *modem, DBT_DEVICEQUERYREMOVE);
      modem->removalQueryOpen = true;
      modem->removalDenied = false;
    }
    // The receivers run meanwhile and may close what they hold.
    const bool granted = SendNotices(notices);
    {
      BusLock lock(bus);
      Modem* modem = bus.FindModem(id);
      modem->removalDenied = !granted;
      if (modem->holdRemovalAnswer) return false;  // the other listeners have not answered yet
    }
    return AnswerRemovalQuery(id);
  }

  void HoldRemovalAnswer(int id, bool hold) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    if (Modem* modem = bus.FindModem(id)) modem->holdRemovalAnswer = hold;
  }

  bool AnswerRemovalQuery(int id) override {
    Bus& bus = TheBus();
    std::vector<Notice> notices;
    bool removed = false;
    {
      BusLock lock(bus);
      Modem* modem = bus.FindModem(id);
      if (modem == nullptr || !modem->removalQueryOpen) return false;
      modem->removalQueryOpen = false;
      if (!modem->present) return false;  // pulled out meanwhile
      // Another opener's handle holds the removal up as the gateway's would.
      removed = !modem->removalDenied && !modem->access.vetoesRemoval && !modem->access.heldElsewhere &&
                OpenHandlesOf(bus, id) == 0;
      if (removed) {
        notices = RemovalNotices(bus, *modem);
        bus.Vanish(modem, VANISHED_PENDING_ERROR, VANISHED_CALL_ERROR);
      } else {
        notices = HandleNotices(bus, *modem, DBT_DEVICEQUERYREMOVEFAILED);
      }
    }
    SendNotices(notices);
    return removed;
  }

  const char* DevicePath(int id) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    const Modem* modem = bus.FindModem(id);
    return modem == nullptr ? nullptr : modem->path.c_str();
  }

  bool Deliver(int id, uint8_t pipeId, const void* data, uint32_t size) override {
    return Send(id, pipeId, data, size, true);
  }

  bool DeliverPackets(int id, uint8_t pipeId, const void* data, uint32_t size) override {
    return Send(id, pipeId, data, size, false);
  }

  bool Take(int id, uint8_t pipeId, std::vector<uint8_t>* message, uint32_t timeoutMs) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
      // Looked up again after every wait: the maps may have changed meanwhile.
      PipeState* pipe = Pipe(bus, id, pipeId);
      if (pipe == nullptr || pipe->IsIn()) return false;
      if (!pipe->messages.empty()) {
        *message = std::move(pipe->messages.front());
        pipe->messages.pop_front();
        bus.MessageTaken(pipe, *message);
        return true;
      }
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      bus.WaitChange(static_cast<DWORD>(deadline - now));
    }
  }

  bool Exchange(int id, const std::vector<ModemSend>& sends, uint8_t takePipe, uint32_t limit,
                uint32_t timeoutMs, std::vector<std::vector<uint8_t>>* taken) override {
    taken->clear();
    for (const ModemSend& send : sends) {
      if (!Deliver(id, send.pipeId, send.bytes.data(), static_cast<uint32_t>(send.bytes.size())))
        return false;
    }
    std::vector<uint8_t> message;
    size_t bytes = 0;
    while (taken->size() < limit && bytes < BUS_EXCHANGE_TAKE_BYTES &&
           Take(id, takePipe, &message, taken->empty() ? timeoutMs : 0)) {
      bytes += message.size() + sizeof(uint32_t);
      taken->push_back(std::move(message));
    }
    return true;
  }

  void HoldWrites(int id, uint8_t pipeId, bool hold) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    PipeState* pipe = Pipe(bus, id, pipeId);
    if (pipe == nullptr || pipe->IsIn()) return;
    pipe->holdWrites = hold;
    // Released: the modem takes the waiting write now, if it has room.
    bus.AcceptWaitingWrite(pipe);
  }

  uint32_t PendingTransfers(int id) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    const Modem* modem = bus.FindModem(id);
    uint32_t count = 0;
    if (modem == nullptr) return count;
    for (const auto& pipe : modem->pipes) count += pipe.second.pending.overlapped != nullptr ? 1 : 0;
    return count;
  }

  uint32_t Waiting(int id, uint8_t pipeId) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    const PipeState* pipe = Pipe(bus, id, pipeId);
    if (pipe == nullptr) return 0;
    return static_cast<uint32_t>(pipe->IsIn() ? pipe->delivered.size() : pipe->messages.size());
  }

  uint32_t OpenHandles(int id) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    return OpenHandlesOf(bus, id);
  }

  bool PipePolicy(int id, uint8_t pipeId, uint32_t policyType, uint8_t* value) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    const PipeState* pipe = Pipe(bus, id, pipeId);
    if (pipe == nullptr) return false;
    const auto found = pipe->policies.find(policyType);
    if (found == pipe->policies.end()) return false;
    if (value != nullptr) *value = found->second.front();
    return true;
  }

  uint32_t HandleRegistrations(int id) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    uint32_t count = 0;
    for (const auto& entry : bus.registrations)
      count += entry.second->isHandle && entry.second->modem == id ? 1 : 0;
    return count;
  }

  bool LastFileOpen(int id, FileOpen* open) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    const Modem* modem = bus.FindModem(id);
    if (modem == nullptr || modem->opens.empty()) return false;
    if (open != nullptr) *open = modem->opens.back();
    return true;
  }

  std::vector<FileOpen> FileOpens(int id) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    const Modem* modem = bus.FindModem(id);
    if (modem == nullptr) return {};
    return std::vector<FileOpen>(modem->opens.begin(), modem->opens.end());
  }

  uint32_t OpenDeviceSets() override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    return static_cast<uint32_t>(bus.sets.size());
  }

  std::vector<Release> TakeReleases(int id) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    Modem* modem = bus.FindModem(id);
    if (modem == nullptr) return {};
    std::vector<Release> releases(modem->releases.begin(), modem->releases.end());
    modem->releases.clear();
    return releases;
  }

  void FailCall(int id, BusCall call, int32_t argument, uint32_t error) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    std::vector<Fault>& faults = bus.faults;
    for (auto it = faults.begin(); it != faults.end();) {
      const bool same = it->modem == id && it->call == call && it->argument == argument;
      it = same ? faults.erase(it) : it + 1;
    }
    if (error != 0) faults.push_back({id, call, argument, error});
  }

  bool Stall(int id, uint8_t pipeId) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    PipeState* pipe = PresentPipe(bus, id, pipeId);
    if (pipe == nullptr) return false;
    pipe->halted = true;
    bus.FailIfBroken(pipe);
    return true;
  }

  bool FailTransfer(int id, uint8_t pipeId, uint32_t error) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    PipeState* pipe = PresentPipe(bus, id, pipeId);
    if (pipe == nullptr || (error != ERROR_GEN_FAILURE && error != ERROR_SEM_TIMEOUT)) return false;
    pipe->nextFailure = StatusOfError(error);
    bus.FailIfBroken(pipe);
    return true;
  }

  bool SetAccess(int id, const ModemAccess& access) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    Modem* modem = bus.FindModem(id);
    // The holder's own open would be refused while the gateway holds the file.
    if (modem == nullptr || (access.heldElsewhere && !modem->access.heldElsewhere && FileOpenBy(bus, *modem)))
      return false;
    modem->access = access;
    return true;
  }

  void SetCallerElevated(bool elevated) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    bus.callerElevated = elevated;
  }

 private:
  // Changes a known modem under the lock, then sends the notices the change
  // built; false when there was no such modem or nothing to change.
  template <typename Change>
  static bool ChangeModem(int id, Change change) {
    Bus& bus = TheBus();
    std::vector<Notice> notices;
    {
      BusLock lock(bus);
      Modem* modem = bus.FindModem(id);
      if (modem == nullptr || !change(bus, *modem, &notices)) return false;
    }
    SendNotices(notices);
    return true;
  }

  // The system tells handle registrations first, then interface-class ones
  // that the interface went away.
  static std::vector<Notice> RemovalNotices(Bus& bus, const Modem& modem) {
    std::vector<Notice> notices = HandleNotices(bus, modem, DBT_DEVICEREMOVECOMPLETE);
    const std::vector<Notice> interfaceNotices = InterfaceNotices(bus, modem, DBT_DEVICEREMOVECOMPLETE);
    notices.insert(notices.end(), interfaceNotices.begin(), interfaceNotices.end());
    return notices;
  }

  // Device files and WinUSB handles of the modem still open; the lock is held.
  static uint32_t OpenHandlesOf(Bus& bus, int id) {
    uint32_t count = 0;
    for (const auto& file : bus.files) count += file.second.modem == id ? 1 : 0;
    for (const auto& handle : bus.winUsbHandles) count += handle.second->modem == id ? 1 : 0;
    return count;
  }

  // The modem sends a transfer on an IN pipe, ended by a zero-length packet
  // where it needs one if `ended`.
  static bool Send(int id, uint8_t pipeId, const void* data, uint32_t size, bool ended) {
    Bus& bus = TheBus();
    BusLock lock(bus);
    PipeState* pipe = PresentPipe(bus, id, pipeId);
    if (pipe == nullptr || !pipe->IsIn() || (data == nullptr && size > 0)) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    Delivery delivery{std::vector<uint8_t>(bytes, bytes + size),
                      ended && (size == 0 || pipe->FullPackets(size))};
    // Bare packets of nothing are no packets at all.
    if (delivery.bytes.empty() && !delivery.zeroLengthEnd) return true;
    pipe->delivered.push_back(std::move(delivery));
    if (pipe->pending.overlapped != nullptr && bus.FillRead(pipe)) {
      bus.Complete(pipe, SIM_STATUS_SUCCESS, pipe->pending.count);
    }
    return true;
  }

  // The pipe of a modem still attached, or null.
  static PipeState* PresentPipe(Bus& bus, int id, uint8_t pipeId) {
    const Modem* modem = bus.FindModem(id);
    return modem != nullptr && modem->present ? Pipe(bus, id, pipeId) : nullptr;
  }

  // The pipe with that address in the lowest interface that has one.
  static PipeState* Pipe(Bus& bus, int id, uint8_t pipeId) {
    Modem* modem = bus.FindModem(id);
    if (modem == nullptr) return nullptr;
    for (auto& pipe : modem->pipes) {
      if (pipe.first.second == pipeId) return &pipe.second;
    }
    return nullptr;
  }
};

}  // namespace

ModemBus& LocalBus() {
  static LocalModemBus bus;
  return bus;
}

}  // namespace simbus
