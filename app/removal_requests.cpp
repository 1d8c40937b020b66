// A removal the user asked for ("safely remove"), as Windows runs it: the
// program closes the modem on the query but keeps its handle registration,
// so that it hears the outcome. A veto reopens the modem at once; a
// completed removal ends the wait; no enumeration reopens the modem
// meanwhile, since that would veto the removal itself. Other programs may
// take long to answer the query, and if no outcome comes within
// REMOVAL_WAIT_TICKS the enumeration decides.
#include <new>

#include "app/app_state.h"
#include "base/text_copy.h"
#include "usb/device_record.h"
#include "usb/path_match.h"
#include "usb/usb_os.h"

void AppState::BeginPendingRemoval(DeviceRecord* record) {
  auto* pending = new (std::nothrow) PendingRemoval{};
  char* path = record->path != nullptr ? CopyText(record->path) : nullptr;
  if (pending == nullptr || path == nullptr) {
    // Without memory to wait for the outcome, the enumeration in 5 s
    // reopens a modem that stayed and finds nothing if it went.
    delete pending;
    delete[] path;
    RemoveDevice(record);
    ArmRescan();
    return;
  }
  pending->path = path;
  pending->closedFile = record->file;
  RemoveDevice(record, &pending->registration);
  pending->next = pendingRemovals;
  pendingRemovals = pending;
}

void AppState::EndPendingRemoval(PendingRemoval* pending) {
  for (PendingRemoval** link = &pendingRemovals; *link != nullptr; link = &(*link)->next) {
    if (*link == pending) {
      *link = pending->next;
      break;
    }
  }
  if (pending->registration != nullptr) usbos::UnregisterDeviceNotification(pending->registration);
  delete[] pending->path;
  delete pending;
}

PendingRemoval* AppState::FindPendingRemoval(const char* path) {
  for (PendingRemoval* pending = pendingRemovals; pending != nullptr; pending = pending->next) {
    if (PathsMatch(pending->path, path)) return pending;
  }
  return nullptr;
}

void AppState::AgePendingRemovals() {
  bool expired = false;
  for (PendingRemoval* pending = pendingRemovals; pending != nullptr;) {
    PendingRemoval* const next = pending->next;
    if (++pending->ticks >= REMOVAL_WAIT_TICKS) {
      EndPendingRemoval(pending);
      expired = true;
    }
    pending = next;
  }
  if (expired) ArmRescan();
}

void AppState::OnHandleEvent(WPARAM event, const DEV_BROADCAST_HANDLE* broadcast) {
  // Closed already on the query: by the time this returns no handle of the
  // device is open, so the removal is never held up by this program.
  // Named by the registration that asked where the sender gives it: the
  // handle of a file closed on a query may have been given to another since.
  const HDEVNOTIFY registration = broadcast->dbch_hdevnotify;
  for (DeviceRecord* record = devices; record != nullptr; record = record->next) {
    const bool named = registration != nullptr ? registration == record->handleNotification
                                               : broadcast->dbch_handle == record->file;
    if (!named) continue;
    if (event == DBT_DEVICEQUERYREMOVE) {
      BeginPendingRemoval(record);
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
      RemoveDevice(record);
    } else {
      return;
    }
    UpdateTrayIcon();
    return;
  }
  // The outcome of a request.
  for (PendingRemoval* pending = pendingRemovals; pending != nullptr; pending = pending->next) {
    const bool named = registration != nullptr ? registration == pending->registration
                                               : broadcast->dbch_handle == pending->closedFile;
    if (!named) continue;
    if (event == DBT_DEVICEQUERYREMOVEFAILED) {
      // Another program vetoed it: the modem stays and is served at once.
      char* const path = pending->path;
      pending->path = nullptr;
      EndPendingRemoval(pending);
      AddDevice(path);
      delete[] path;
      UpdateTrayIcon();
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
      EndPendingRemoval(pending);
    }
    return;
  }
}
