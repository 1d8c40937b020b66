#pragma once
// The one boundary between the trace provider and the system's event
// tracing. The product binds it to the system (etw_os_system.cpp); the
// simulated build and test programs bind a recorder (etw_recorder.cpp), so
// that tests see exactly what a trace session would receive.
#include <windows.h>

#include <evntprov.h>

namespace etwos {

// The information class that sets a registration's traits; the SDK headers
// declare it only for Windows 8 and later.
constexpr int PROVIDER_SET_TRAITS = 2;
// The enable callback's control codes (evntrace.h gives them only to newer
// targets).
constexpr ULONG CONTROL_DISABLE_PROVIDER = 0;
constexpr ULONG CONTROL_ENABLE_PROVIDER = 1;

ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID context, PREGHANDLE handle);
// ERROR_NOT_SUPPORTED where the system has no EventSetInformation (Windows 7
// without its later updates).
ULONG EventSetInformation(REGHANDLE handle, int informationClass, PVOID information, ULONG length);
ULONG EventWriteTransfer(REGHANDLE handle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activityId,
                         LPCGUID relatedActivityId, ULONG dataCount, PEVENT_DATA_DESCRIPTOR data);
ULONG EventUnregister(REGHANDLE handle);

}  // namespace etwos
