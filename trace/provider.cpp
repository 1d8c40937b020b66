#include "trace/provider.h"

#include "trace/etw_os.h"
#include "trace/provider_id.h"

namespace trace {

std::atomic<uint32_t> g_enabledLevel{0};
std::atomic<uint64_t> g_anyKeyword{0};
std::atomic<uint64_t> g_allKeyword{0};

namespace {

// The channel that tells decoders an event describes itself.
constexpr UCHAR TRACELOGGING_CHANNEL = 11;
// Types of a data descriptor, honoured once traits are set.
constexpr ULONG DESCRIPTOR_EVENT_METADATA = 1;
constexpr ULONG DESCRIPTOR_PROVIDER_METADATA = 2;
constexpr uint32_t PROVIDER_METADATA_MAX = 32;

REGHANDLE g_handle = 0;
uint8_t g_providerMetadata[PROVIDER_METADATA_MAX];
uint32_t g_providerMetadataSize = 0;

// Called by the system as sessions enable or disable the provider (also
// during EventRegister when one already has it enabled), on a thread of its
// choosing: the masks are stored before the level that makes them count.
void NTAPI OnEnable(LPCGUID, ULONG control, UCHAR level, ULONGLONG anyKeyword, ULONGLONG allKeyword,
                    PEVENT_FILTER_DESCRIPTOR, PVOID) {
  if (control == etwos::CONTROL_DISABLE_PROVIDER) {
    g_enabledLevel.store(0);
  } else if (control == etwos::CONTROL_ENABLE_PROVIDER) {
    // Level 0 means every level.
    g_anyKeyword.store(anyKeyword);
    g_allKeyword.store(allKeyword);
    g_enabledLevel.store(level != 0 ? level : 0xFF);
  }
}

void Describe(EVENT_DATA_DESCRIPTOR* descriptor, const void* data, uint32_t size, ULONG type) {
  // Through ULONG_PTR, as the system's EventDataDescCreate: converted
  // straight, a 32-bit address above 2 GB would be sign-extended.
  descriptor->Ptr = static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(data));
  descriptor->Size = size;
  descriptor->Reserved = type;  // its low byte is the descriptor's type
}

}  // namespace

void RegisterProvider() {
  const ProviderId id = ProviderIdFromName(PROVIDER_NAME);
  GUID guid = {id.data1, id.data2, id.data3, {}};
  for (int i = 0; i < 8; ++i) guid.Data4[i] = id.data4[i];
  g_providerMetadataSize = ProviderMetadata(PROVIDER_NAME, g_providerMetadata, sizeof g_providerMetadata);
  if (etwos::EventRegister(&guid, OnEnable, nullptr, &g_handle) != ERROR_SUCCESS) {
    g_handle = 0;
    g_enabledLevel.store(0);
    return;
  }
  // Without traits (Windows 7 before its later updates) events are still
  // written; each carries the provider's name in its own metadata.
  etwos::EventSetInformation(g_handle, etwos::PROVIDER_SET_TRAITS, g_providerMetadata,
                             g_providerMetadataSize);
}

void UnregisterProvider() {
  g_enabledLevel.store(0);
  if (g_handle == 0) return;
  etwos::EventUnregister(g_handle);
  g_handle = 0;
}

void WriteEvent(uint8_t level, uint64_t keyword, EventLayout& event) {
  if (!event.End() || g_handle == 0) return;
  const DWORD lastError = GetLastError();
  EVENT_DESCRIPTOR descriptor = {};
  descriptor.Channel = TRACELOGGING_CHANNEL;
  descriptor.Level = level;
  descriptor.Keyword = keyword;
  EVENT_DATA_DESCRIPTOR parts[3];
  Describe(&parts[0], g_providerMetadata, g_providerMetadataSize, DESCRIPTOR_PROVIDER_METADATA);
  Describe(&parts[1], event.metadata, event.metadataSize, DESCRIPTOR_EVENT_METADATA);
  Describe(&parts[2], event.data, event.dataSize, 0);
  etwos::EventWriteTransfer(g_handle, &descriptor, nullptr, nullptr, event.dataSize != 0 ? 3 : 2, parts);
  SetLastError(lastError);
}

}  // namespace trace
