// The device file and device notifications bound to the simulated bus. A
// device file is a real kernel object (an unnamed event used as a token) so
// that leaked files show in the process's handle count.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "simbus/bus_state.h"
#include "usb/device_class.h"

namespace simbus {

namespace {

bool SameClass(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Device paths are compared without regard to case, as the system does.
bool SamePath(const std::string& path, const char* other) {
  size_t i = 0;
  for (; i < path.size() && other[i] != '\0'; ++i) {
    if (FoldAscii(path[i]) != FoldAscii(other[i])) return false;
  }
  return i == path.size() && other[i] == '\0';
}

}  // namespace

bool FileOpenBy(const Bus& bus, const Modem& modem) {
  for (const auto& file : bus.files) {
    if (file.second.modem == modem.id && file.second.generation == modem.generation) return true;
  }
  return false;
}

bool AccessGranted(const Bus& bus, const Modem& modem, DWORD access) {
  // What the default security grants everyone: read, write and execute,
  // generic or spelt out; anything more needs an administrator's full token.
  constexpr DWORD everyone = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | FILE_GENERIC_READ |
                             FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE;
  if (modem.access.security == DeviceSecurity::Default && !bus.callerElevated && (access & ~everyone) != 0)
    return false;
  // The device object is exclusive: one open handle at a time.
  return !modem.access.heldElsewhere && !FileOpenBy(bus, modem);
}

std::vector<Notice> InterfaceNotices(Bus& bus, const Modem& modem, WPARAM event) {
  std::vector<Notice> notices;
  const size_t size = std::max(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + modem.path.size() + 1,
                               sizeof(DEV_BROADCAST_DEVICEINTERFACE_A));
  for (const auto& entry : bus.registrations) {
    const Registration& registration = *entry.second;
    if (registration.isHandle) continue;
    if (!registration.allClasses && !SameClass(registration.classGuid, GUID_DEVINTERFACE_FISCAL_MODEM))
      continue;
    Notice notice{registration.window, event, std::vector<uint8_t>(size)};
    auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(notice.broadcast.data());
    broadcast->dbcc_size = static_cast<DWORD>(size);
    broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast->dbcc_classguid = GUID_DEVINTERFACE_FISCAL_MODEM;
    std::memcpy(notice.broadcast.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name),
                modem.path.c_str(), modem.path.size() + 1);
    notices.push_back(std::move(notice));
  }
  return notices;
}

std::vector<Notice> HandleNotices(Bus& bus, const Modem& modem, WPARAM event) {
  std::vector<Notice> notices;
  for (const auto& entry : bus.registrations) {
    const Registration& registration = *entry.second;
    // A registration hears until it is unregistered, also once its file is
    // closed (so a window can open the file again when a removal is
    // cancelled), but not about the modem's later returns.
    if (!registration.isHandle || registration.modem != modem.id ||
        registration.generation != modem.generation)
      continue;
    Notice notice{registration.window, event, std::vector<uint8_t>(sizeof(DEV_BROADCAST_HANDLE))};
    auto* broadcast = reinterpret_cast<DEV_BROADCAST_HANDLE*>(notice.broadcast.data());
    broadcast->dbch_size = sizeof(DEV_BROADCAST_HANDLE);
    broadcast->dbch_devicetype = DBT_DEVTYP_HANDLE;
    broadcast->dbch_handle = registration.file;
    broadcast->dbch_hdevnotify = static_cast<HDEVNOTIFY>(entry.first);
    notices.push_back(std::move(notice));
  }
  return notices;
}

bool SendNotices(const std::vector<Notice>& notices) {
  bool granted = true;
  for (const Notice& notice : notices) {
    const LRESULT answer = SendMessageA(notice.window, WM_DEVICECHANGE, notice.event,
                                        reinterpret_cast<LPARAM>(notice.broadcast.data()));
    granted = granted && answer != BROADCAST_QUERY_DENY;
  }
  return granted;
}

}  // namespace simbus

namespace usbos {

using simbus::BusLock;
using simbus::TheBus;

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags, HANDLE) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  simbus::Modem* modem = nullptr;
  for (const auto& entry : bus.modems) {
    if (path != nullptr && entry.second->present && simbus::SamePath(entry.second->path, path)) {
      modem = entry.second.get();
      break;
    }
  }
  if (modem == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (modem->opens.size() == simbus::FILE_OPEN_LOG_LIMIT) modem->opens.pop_front();
  modem->opens.push_back({access, shareMode, disposition, flags});
  HANDLE file = nullptr;
  if (!simbus::AccessGranted(bus, *modem, access)) {
    SetLastError(ERROR_ACCESS_DENIED);
  } else if (!bus.Faulted(modem->id, simbus::BusCall::OpenDeviceFile, 0)) {
    file = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  if (file == nullptr) {
    modem->opens.back().error = GetLastError();
    return INVALID_HANDLE_VALUE;
  }
  bus.files[file] = {modem->id, modem->generation, flags};
  return file;
}

BOOL CloseHandle(HANDLE file) {
  simbus::Bus& bus = TheBus();
  {
    BusLock lock(bus);
    const auto found = bus.files.find(file);
    if (found != bus.files.end()) {
      bus.FindModem(found->second.modem)->LogRelease(simbus::ReleaseCall::CloseFile, 0);
      bus.files.erase(found);
    }
  }
  // Any other handle is closed as the system closes it.
  return ::CloseHandle(file);
}

HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  // The simulation notifies windows only, as the gateway asks.
  if ((flags & ~DWORD{DEVICE_NOTIFY_ALL_INTERFACE_CLASSES}) != DEVICE_NOTIFY_WINDOW_HANDLE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HWND window = static_cast<HWND>(recipient);
  if (!IsWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
  if (header == nullptr || header->dbch_size < sizeof(DEV_BROADCAST_HDR)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  auto registration = std::make_unique<simbus::Registration>();
  registration->window = window;
  if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
      header->dbch_size >= sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
    registration->classGuid = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter)->dbcc_classguid;
    registration->allClasses = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
  } else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE &&
             header->dbch_size >= sizeof(DEV_BROADCAST_HANDLE)) {
    const HANDLE file = static_cast<const DEV_BROADCAST_HANDLE*>(filter)->dbch_handle;
    const auto found = bus.files.find(file);
    if (found == bus.files.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (bus.Faulted(found->second.modem, simbus::BusCall::RegisterNotification, 0)) return nullptr;
    registration->isHandle = true;
    registration->file = file;
    registration->modem = found->second.modem;
    registration->generation = found->second.generation;
  } else {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  HDEVNOTIFY notification = registration.get();
  bus.registrations[notification] = std::move(registration);
  return notification;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
  simbus::Bus& bus = TheBus();
  BusLock lock(bus);
  const auto found = simbus::FindHandle(bus.registrations, notification);
  if (found == bus.registrations.end()) return FALSE;
  if (found->second->isHandle) {
    bus.FindModem(found->second->modem)->LogRelease(simbus::ReleaseCall::UnregisterNotification, 0);
  }
  bus.registrations.erase(found);
  return TRUE;
}

}  // namespace usbos
