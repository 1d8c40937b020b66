#include "tools/demo/milestones.h"

namespace {

HANDLE g_events[MILESTONE_COUNT];

constexpr const char* NAMES[MILESTONE_COUNT] = {
    "modem listed", "device named by its serial", "both status blocks taken", "blocking balloon", "link up",
    "link down",    "acquirer saw the close",     "status tabs rendered",     "modem removed",
};

}  // namespace

bool CreateMilestones() {
  for (HANDLE& event : g_events) {
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return false;
  }
  return true;
}

void DestroyMilestones() {
  for (HANDLE& event : g_events) {
    if (event != nullptr) CloseHandle(event);
    event = nullptr;
  }
}

void Reach(Milestone milestone) {
  SetEvent(g_events[milestone]);
}

bool Reached(Milestone milestone) {
  return AwaitMilestone(milestone, 0);
}

bool AwaitMilestone(Milestone milestone, DWORD timeoutMs) {
  return WaitForSingleObject(g_events[milestone], timeoutMs) == WAIT_OBJECT_0;
}

const char* MilestoneName(Milestone milestone) {
  return NAMES[milestone];
}
