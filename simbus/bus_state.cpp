#include "simbus/bus_state.h"

#include <algorithm>
#include <cstring>

namespace simbus {

namespace {
// The statuses the bus writes and the errors the system reads from them;
// any other Win32 error travels as an error status of facility 7.
constexpr struct {
  ULONG_PTR status;
  DWORD error;
} STATUS_ERRORS[] = {
    {SIM_STATUS_SUCCESS, ERROR_SUCCESS},
    {SIM_STATUS_PENDING, ERROR_IO_INCOMPLETE},
    {SIM_STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {SIM_STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {SIM_STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {SIM_STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
};
}  // namespace

DWORD ErrorOfStatus(ULONG_PTR status) {
  for (const auto& pair : STATUS_ERRORS) {
    if (pair.status == status) return pair.error;
  }
  return (status & 0xFFFF0000u) == WIN32_ERROR_STATUS ? static_cast<DWORD>(status & 0xFFFFu)
                                                      : ERROR_GEN_FAILURE;
}

ULONG_PTR StatusOfError(DWORD error) {
  for (const auto& pair : STATUS_ERRORS) {
    if (pair.error == error) return pair.status;
  }
  return WIN32_ERROR_STATUS | (error & 0xFFFFu);
}

void Modem::LogRelease(ReleaseCall call, uint8_t interfaceIndex) {
  if (releases.size() == RELEASE_LOG_LIMIT) releases.pop_front();
  releases.push_back({call, interfaceIndex});
}

Bus::Bus() {
  InitializeCriticalSection(&lock_);
  InitializeConditionVariable(&changed_);
}

// Never destroyed: like a real device stack it outlives the program's
// statics. In varnel-sim.exe the bus server's connection threads (not the
// program's, never joined) may still be inside the bus, or answer an
// AwaitExit from it, while the static destructors run at exit.
Bus& TheBus() {
  static Bus* const bus = new Bus();
  return *bus;
}

Modem* Bus::FindModem(int id) {
  const auto found = modems.find(id);
  return found == modems.end() ? nullptr : found->second.get();
}

Modem* Bus::ModemOfHandle(WINUSB_INTERFACE_HANDLE handle, WinUsbHandleState** state) {
  const auto found = winUsbHandles.find(handle);
  if (found == winUsbHandles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  Modem* modem = FindModem(found->second->modem);
  if (!modem->present || found->second->generation != modem->generation) {
    SetLastError(modem->callError);
    return nullptr;
  }
  if (state != nullptr) *state = found->second.get();
  return modem;
}

PipeState* Bus::FindPipe(WINUSB_INTERFACE_HANDLE handle, uint8_t pipeId, Modem** modem) {
  WinUsbHandleState* state = nullptr;
  Modem* owner = ModemOfHandle(handle, &state);
  if (owner == nullptr) return nullptr;
  const auto found = owner->pipes.find({state->interfaceIndex, pipeId});
  if (found == owner->pipes.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  *modem = owner;
  return &found->second;
}

void Bus::Vanish(Modem* modem, DWORD pendingError, DWORD callError) {
  modem->present = false;
  modem->callError = callError;
  for (auto& pipe : modem->pipes) {
    if (pipe.second.pending.overlapped != nullptr) Complete(&pipe.second, StatusOfError(pendingError), 0);
    // No read can take what the modem sent any more, nor can it take what
    // was written to it; the record stays for the counts, its data need not.
    pipe.second.delivered.clear();
    pipe.second.readOffset = 0;
    pipe.second.messages.clear();
    pipe.second.unended.clear();
    pipe.second.messageBytes = 0;
  }
  NotifyChange();
}

bool Bus::Faulted(int modem, BusCall call, int32_t argument) {
  for (const Fault& fault : faults) {
    if (fault.modem == modem && fault.call == call &&
        (fault.argument == ANY_ARGUMENT || fault.argument == argument)) {
      SetLastError(fault.error);
      return true;
    }
  }
  return false;
}

void Bus::Complete(PipeState* pipe, ULONG_PTR status, ULONG count) {
  OVERLAPPED* overlapped = pipe->pending.overlapped;
  pipe->pending = Transfer();
  // The result is in the record before the event tells anyone to look.
  overlapped->Internal = status;
  overlapped->InternalHigh = count;
  if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
}

bool Bus::FillRead(PipeState* pipe) {
  Transfer& read = pipe->pending;
  while (!pipe->delivered.empty()) {
    // A full buffer ends the read before a zero-length packet that follows
    // could: that packet ends the next read.
    if (read.count == read.length) return true;
    Delivery& oldest = pipe->delivered.front();
    const size_t left = oldest.bytes.size() - pipe->readOffset;
    if (left > 0) {
      const size_t count = std::min<size_t>(left, read.length - read.count);
      std::memcpy(read.buffer + read.count, oldest.bytes.data() + pipe->readOffset, count);
      read.count += static_cast<ULONG>(count);
      pipe->readOffset += count;
      // Stopped inside the transfer: the buffer is full, the rest waits.
      if (count < left) return true;
      if (oldest.zeroLengthEnd) continue;
    }
    const bool ends = oldest.zeroLengthEnd || !pipe->FullPackets(oldest.bytes.size());
    pipe->delivered.pop_front();
    pipe->readOffset = 0;
    if (ends) return true;
  }
  return read.count == read.length;
}

void Bus::WriteArrives(PipeState* pipe, const uint8_t* data, ULONG length) {
  pipe->unended.insert(pipe->unended.end(), data, data + length);
  const bool ends = length == 0 || !pipe->FullPackets(length) || pipe->PolicyOn(SHORT_PACKET_TERMINATE);
  if (ends) {
    pipe->messageBytes += pipe->unended.size();
    pipe->messages.push_back(std::move(pipe->unended));
    pipe->unended.clear();
  }
  NotifyChange();
}

void Bus::MessageTaken(PipeState* pipe, const std::vector<uint8_t>& message) {
  pipe->messageBytes -= message.size();
  AcceptWaitingWrite(pipe);
}

void Bus::AcceptWaitingWrite(PipeState* pipe) {
  if (pipe->pending.overlapped == nullptr || pipe->holdWrites || pipe->DeviceFull()) return;
  const Transfer write = pipe->pending;
  WriteArrives(pipe, write.buffer, write.length);
  Complete(pipe, SIM_STATUS_SUCCESS, write.length);
}

bool Bus::FailIfBroken(PipeState* pipe) {
  if (pipe->pending.overlapped == nullptr) return false;
  if (pipe->halted) {
    Complete(pipe, SIM_STATUS_UNSUCCESSFUL, pipe->pending.count);
    // WinUSB clears an IN stall itself once it has failed the transfer.
    if (pipe->IsIn() && pipe->PolicyOn(AUTO_CLEAR_STALL)) pipe->halted = false;
    return true;
  }
  if (pipe->nextFailure != SIM_STATUS_SUCCESS) {
    Complete(pipe, pipe->nextFailure, pipe->pending.count);
    pipe->nextFailure = SIM_STATUS_SUCCESS;
    return true;
  }
  return false;
}

}  // namespace simbus
