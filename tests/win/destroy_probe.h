#pragma once
// The window hook in destroy_probe.dll and the event it sets.
#define DESTROY_PROBE_EVENT "VarnelTestMainWindowDestroyed"
#define DESTROY_PROBE_HOOK "WatchMainWindow"
