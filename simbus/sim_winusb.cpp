// WinUSB bound to the simulated bus: interfaces and pipes answer from the
// modem's layout, and every transfer is overlapped and completes through the
// caller's record and event the way the system completes it.
#include <memory>

#include "simbus/bus_state.h"

namespace usbos {

using simbus::BusCall;
using simbus::BusLock;
using simbus::Modem;
using simbus::PipeState;
using simbus::TheBus;
using simbus::WinUsbHandleState;

BOOL WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  const auto found = bus.files.find(file);
  // WinUSB works overlapped only and refuses a file opened otherwise.
  if (found == bus.files.end() || (found->second.flags & FILE_FLAG_OVERLAPPED) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Modem* modem = bus.FindModem(found->second.modem);
  if (!modem->present || found->second.generation != modem->generation) {
    SetLastError(modem->callError);
    return FALSE;
  }
  if (bus.Faulted(modem->id, BusCall::Initialize, 0)) return FALSE;
  // A device without interfaces has nothing WinUSB could serve.
  if (handle == nullptr || modem->layout.interfaces.empty()) {
    SetLastError(handle == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // The interface's policies start again from their defaults.
  for (auto& pipe : modem->pipes) {
    if (pipe.second.interfaceIndex == 0) pipe.second.policies.clear();
  }
  auto state = std::make_unique<WinUsbHandleState>();
  state->modem = modem->id;
  state->interfaceIndex = 0;
  state->generation = modem->generation;
  *handle = state.get();
  bus.winUsbHandles[*handle] = std::move(state);
  return TRUE;
}

BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  const auto found = bus.winUsbHandles.find(handle);
  if (found == bus.winUsbHandles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Transfers still outstanding on this interface are forgotten without
  // touching their records: the caller frees its pipes before the handle. A
  // handle from before the modem's return has none.
  Modem* modem = bus.FindModem(found->second->modem);
  for (auto& pipe : modem->pipes) {
    if (pipe.second.interfaceIndex == found->second->interfaceIndex &&
        found->second->generation == modem->generation) {
      pipe.second.pending = simbus::Transfer();
    }
  }
  modem->LogRelease(simbus::ReleaseCall::FreeInterface, found->second->interfaceIndex);
  bus.winUsbHandles.erase(found);
  return TRUE;
}

BOOL WinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE handle, UCHAR index,
                                   PWINUSB_INTERFACE_HANDLE associated) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  const Modem* modem = bus.ModemOfHandle(handle, nullptr);
  if (modem == nullptr) return FALSE;
  if (bus.Faulted(modem->id, BusCall::GetAssociatedInterface, index)) return FALSE;
  if (associated == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Index 0 is the interface after the first one.
  const size_t target = static_cast<size_t>(index) + 1;
  if (target >= modem->layout.interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  auto state = std::make_unique<WinUsbHandleState>();
  state->modem = modem->id;
  state->interfaceIndex = static_cast<uint8_t>(target);
  state->generation = modem->generation;
  *associated = state.get();
  bus.winUsbHandles[*associated] = std::move(state);
  return TRUE;
}

BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                   PUSB_INTERFACE_DESCRIPTOR descriptor) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  WinUsbHandleState* state = nullptr;
  const Modem* modem = bus.ModemOfHandle(handle, &state);
  if (modem == nullptr) return FALSE;
  if (bus.Faulted(modem->id, BusCall::QueryInterfaceSettings, state->interfaceIndex)) return FALSE;
  if (descriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The simulated interfaces have alternate setting 0 only.
  if (alternateSetting != 0) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const simbus::InterfaceLayout& layout = modem->layout.interfaces[state->interfaceIndex];
  descriptor->bLength = 9;
  descriptor->bDescriptorType = 4;  // INTERFACE
  descriptor->bInterfaceNumber = state->interfaceIndex;
  descriptor->bAlternateSetting = 0;
  descriptor->bNumEndpoints = static_cast<UCHAR>(layout.pipes.size());
  descriptor->bInterfaceClass = layout.interfaceClass;
  descriptor->bInterfaceSubClass = layout.interfaceSubClass;
  descriptor->bInterfaceProtocol = layout.interfaceProtocol;
  descriptor->iInterface = 0;
  return TRUE;
}

BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                      PWINUSB_PIPE_INFORMATION info) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  WinUsbHandleState* state = nullptr;
  const Modem* modem = bus.ModemOfHandle(handle, &state);
  if (modem == nullptr) return FALSE;
  if (bus.Faulted(modem->id, BusCall::QueryPipe, pipeIndex)) return FALSE;
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const simbus::InterfaceLayout& layout = modem->layout.interfaces[state->interfaceIndex];
  if (alternateSetting != 0 || pipeIndex >= layout.pipes.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const simbus::PipeLayout& pipe = layout.pipes[pipeIndex];
  info->PipeType = static_cast<USBD_PIPE_TYPE>(pipe.pipeType);
  info->PipeId = pipe.pipeId;
  info->MaximumPacketSize = pipe.maxPacketSize;
  info->Interval = pipe.pipeType == UsbdPipeTypeInterrupt ? 1 : 0;
  return TRUE;
}

BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                          PVOID value) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  Modem* modem = nullptr;
  PipeState* pipe = bus.FindPipe(handle, pipeId, &modem);
  if (pipe == nullptr) return FALSE;
  if (bus.Faulted(modem->id, BusCall::SetPipePolicy, pipeId)) return FALSE;
  // The time-out is a ULONG; every other settable policy is one byte.
  // MAXIMUM_TRANSFER_SIZE can only be read.
  const ULONG expected = policyType == PIPE_TRANSFER_TIMEOUT ? sizeof(ULONG) : sizeof(UCHAR);
  const bool known = policyType >= SHORT_PACKET_TERMINATE && policyType <= RESET_PIPE_ON_RESUME &&
                     policyType != MAXIMUM_TRANSFER_SIZE;
  if (!known || value == nullptr || valueLength != expected) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(value);
  pipe->policies[policyType].assign(bytes, bytes + valueLength);
  return TRUE;
}

namespace {

// Starts a read or write: the pipe's one transfer, the caller's event reset
// first, as the system does when a transfer begins.
BOOL StartTransfer(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                   PULONG transferred, LPOVERLAPPED overlapped, bool read) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  Modem* modem = nullptr;
  PipeState* pipe = bus.FindPipe(handle, pipeId, &modem);
  if (pipe == nullptr) return FALSE;
  if (bus.Faulted(modem->id, read ? BusCall::ReadPipe : BusCall::WritePipe, pipeId)) return FALSE;
  // The simulation serves overlapped transfers only: the gateway makes no other.
  if (pipe->IsIn() != read || overlapped == nullptr || (buffer == nullptr && length > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (pipe->pending.overlapped != nullptr) {
    SetLastError(ERROR_BUSY);
    return FALSE;
  }
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
  overlapped->Internal = simbus::SIM_STATUS_PENDING;
  overlapped->InternalHigh = 0;
  pipe->pending.overlapped = overlapped;
  pipe->pending.buffer = buffer;
  pipe->pending.length = length;

  // A stall or a bus error comes back from the bus, not from the call: the
  // transfer is pending and fails at once through its record.
  if (bus.FailIfBroken(pipe) || (read && !bus.FillRead(pipe)) ||
      (!read && (pipe->holdWrites || pipe->DeviceFull()))) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  ULONG count = length;
  if (read) {
    count = pipe->pending.count;
  } else {
    bus.WriteArrives(pipe, buffer, length);
  }
  bus.Complete(pipe, simbus::SIM_STATUS_SUCCESS, count);
  if (transferred != nullptr) *transferred = count;
  return TRUE;
}

}  // namespace

BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                     PULONG transferred, LPOVERLAPPED overlapped) {
  return StartTransfer(handle, pipeId, buffer, length, transferred, overlapped, true);
}

BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                      PULONG transferred, LPOVERLAPPED overlapped) {
  return StartTransfer(handle, pipeId, buffer, length, transferred, overlapped, false);
}

BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                                BOOL wait) {
  simbus::Bus& bus = TheBus();
  ULONG_PTR status = 0;
  {
    // A vanished device still yields the results its transfers ended with.
    BusLock lock(bus);
    if (bus.winUsbHandles.find(handle) == bus.winUsbHandles.end() || overlapped == nullptr ||
        transferred == nullptr) {
      SetLastError(overlapped == nullptr || transferred == nullptr ? ERROR_INVALID_PARAMETER
                                                                   : ERROR_INVALID_HANDLE);
      return FALSE;
    }
    status = overlapped->Internal;
  }
  if (status == simbus::SIM_STATUS_PENDING && wait && overlapped->hEvent != nullptr) {
    WaitForSingleObject(overlapped->hEvent, INFINITE);
  }
  BusLock lock(bus);
  status = overlapped->Internal;
  if (status == simbus::SIM_STATUS_PENDING) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (status != simbus::SIM_STATUS_SUCCESS) {
    SetLastError(simbus::ErrorOfStatus(status));
    return FALSE;
  }
  return TRUE;
}

// Clears the endpoint's halt; the simulation keeps no data toggle to reset.
BOOL WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
  BusLock lock(TheBus());
  Modem* modem = nullptr;
  PipeState* pipe = TheBus().FindPipe(handle, pipeId, &modem);
  if (pipe != nullptr) pipe->halted = false;
  return pipe != nullptr ? TRUE : FALSE;
}

BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  Modem* modem = nullptr;
  PipeState* pipe = bus.FindPipe(handle, pipeId, &modem);
  if (pipe == nullptr) return FALSE;
  if (bus.Faulted(modem->id, BusCall::AbortPipe, pipeId)) return FALSE;
  if (pipe->pending.overlapped != nullptr) bus.Complete(pipe, simbus::SIM_STATUS_CANCELLED, 0);
  return TRUE;
}

}  // namespace usbos
