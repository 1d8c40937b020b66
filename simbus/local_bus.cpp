// The ModemBus of this process: what tests do to the simulated modems. Every
// action takes the bus lock for its change and sends device messages only
// after releasing it, since the receiving window calls back into the bus.
// SendMessageA to a window of another thread waits until that thread pumps
// its messages, as with the system's own notifications.
#include <cstdio>
#include <memory>

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
    Bus& bus = TheBus();
    std::vector<Notice> notices;
    {
      BusLock lock(bus);
      Modem* modem = bus.FindModem(id);
      if (modem == nullptr || !modem->present) return;
      modem->present = false;
      for (auto& pipe : modem->pipes) {
        if (pipe.second.pending.overlapped != nullptr) {
          bus.Complete(&pipe.second, SIM_STATUS_DEVICE_NOT_CONNECTED, 0);
        }
        // No read can take what the modem delivered any more; the record
        // stays for the counts, its data need not.
        if (pipe.second.IsIn()) pipe.second.messages.clear();
      }
      bus.NotifyChange();
      // The system also tells interface-class registrations that the
      // interface went away; the handle registrations hear first here.
      notices = HandleNotices(bus, *modem, DBT_DEVICEREMOVECOMPLETE);
      const std::vector<Notice> interfaceNotices = InterfaceNotices(bus, *modem, DBT_DEVICEREMOVECOMPLETE);
      notices.insert(notices.end(), interfaceNotices.begin(), interfaceNotices.end());
    }
    SendNotices(notices);
  }

  void QueryRemove(int id) override {
    Bus& bus = TheBus();
    std::vector<Notice> notices;
    {
      BusLock lock(bus);
      const Modem* modem = bus.FindModem(id);
      if (modem == nullptr || !modem->present) return;
      notices = HandleNotices(bus, *modem, DBT_DEVICEQUERYREMOVE);
    }
    SendNotices(notices);
  }

  const char* DevicePath(int id) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    const Modem* modem = bus.FindModem(id);
    return modem == nullptr ? nullptr : modem->path.c_str();
  }

  bool Deliver(int id, uint8_t pipeId, const void* data, uint32_t size) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    PipeState* pipe = Pipe(bus, id, pipeId);
    if (pipe == nullptr || !pipe->IsIn() || !bus.FindModem(id)->present || (data == nullptr && size > 0)) {
      return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    pipe->messages.emplace_back(bytes, bytes + size);
    if (pipe->pending.overlapped != nullptr) {
      const ULONG count = bus.ReadInto(pipe, pipe->pending.buffer, pipe->pending.length);
      bus.Complete(pipe, SIM_STATUS_SUCCESS, count);
    }
    return true;
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
        return true;
      }
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      bus.WaitChange(static_cast<DWORD>(deadline - now));
    }
  }

  void HoldWrites(int id, uint8_t pipeId, bool hold) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    PipeState* pipe = Pipe(bus, id, pipeId);
    if (pipe == nullptr || pipe->IsIn()) return;
    pipe->holdWrites = hold;
    if (hold || pipe->pending.overlapped == nullptr) return;
    // Released: the modem takes the waiting write now.
    const Transfer write = pipe->pending;
    pipe->messages.emplace_back(write.buffer, write.buffer + write.length);
    bus.Complete(pipe, SIM_STATUS_SUCCESS, write.length);
    bus.NotifyChange();
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
    return pipe == nullptr ? 0 : static_cast<uint32_t>(pipe->messages.size());
  }

  uint32_t OpenHandles(int id) override {
    Bus& bus = TheBus();
    BusLock lock(bus);
    uint32_t count = 0;
    for (const auto& file : bus.files) count += file.second == id ? 1 : 0;
    for (const auto& handle : bus.winUsbHandles) count += handle.second->modem == id ? 1 : 0;
    return count;
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

 private:
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
