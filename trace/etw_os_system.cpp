// The product's binding of the trace boundary to the system.
//
// The SDK declares EventSetInformation for Windows 8 and later only: it is
// declared here too, so that the pointer type it is called through is
// checked against it. Only that pointer calls it, so nothing is imported.
#undef WINVER
#define WINVER 0x0602
#include <windows.h>

#include <evntprov.h>

#include <type_traits>

#include "base/proc_address.h"
#include "trace/etw_os.h"

namespace etwos {

namespace {

// Called with information classes the SDK's enumeration does not list
// (traits), so through an int of the enumeration's size; otherwise the
// SDK's own type, stdcall.
typedef ULONG(WINAPI* EventSetInformationFunction)(REGHANDLE, int, PVOID, ULONG);
typedef ULONG(WINAPI* DeclaredEventSetInformation)(REGHANDLE, EVENT_INFO_CLASS, PVOID, ULONG);
static_assert(std::is_same<DeclaredEventSetInformation, decltype(&::EventSetInformation)>::value,
              "EventSetInformation as the SDK declares it");
static_assert(sizeof(EVENT_INFO_CLASS) == sizeof(int), "the information class is passed as an int");

// advapi32 is a known DLL and already loaded (EventRegister is imported
// from it), so the lookup can name it without a path. Windows 7 has the
// function only with later updates.
EventSetInformationFunction FindEventSetInformation() {
  const HMODULE advapi = GetModuleHandleA("advapi32.dll");
  if (advapi == nullptr) return nullptr;
  return ProcAddress<EventSetInformationFunction>(advapi, "EventSetInformation");
}

}  // namespace

ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID context, PREGHANDLE handle) {
  return ::EventRegister(providerId, enableCallback, context, handle);
}

ULONG EventSetInformation(REGHANDLE handle, int informationClass, PVOID information, ULONG length) {
  static const EventSetInformationFunction setInformation = FindEventSetInformation();
  if (setInformation == nullptr) return ERROR_NOT_SUPPORTED;
  return setInformation(handle, informationClass, information, length);
}

ULONG EventWriteTransfer(REGHANDLE handle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activityId,
                         LPCGUID relatedActivityId, ULONG dataCount, PEVENT_DATA_DESCRIPTOR data) {
  return ::EventWriteTransfer(handle, descriptor, activityId, relatedActivityId, dataCount, data);
}

ULONG EventUnregister(REGHANDLE handle) {
  return ::EventUnregister(handle);
}

}  // namespace etwos
