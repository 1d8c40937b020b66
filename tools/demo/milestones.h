#pragma once
// The steps the demo expects to see, each reached once by whichever part
// sees it happen. The scripted modem waits for them before its next move,
// so that the story is told in order, and the demo passes only when every
// one was reached.
#include <windows.h>

enum Milestone {
  MS_LISTED,         // the arrival reached the window; the modem was opened and listed
  MS_NAMED,          // the device took the modem's serial as its name
  MS_STATUS_TAKEN,   // both status blocks are in the bridge's cache
  MS_BALLOON,        // the blocking warning was shown
  MS_LINK_UP,        // the window heard that the link is up
  MS_LINK_DOWN,      // ... and later that it is down again
  MS_SERVER_CLOSED,  // the acquirer saw the gateway close the connection
  MS_STATUS_SHOWN,   // both status tabs were rendered
  MS_REMOVED,        // the unplugged modem's record was removed
  MILESTONE_COUNT
};

// Manual-reset events, one per milestone. False when they cannot be made.
bool CreateMilestones();
void DestroyMilestones();

void Reach(Milestone milestone);
bool Reached(Milestone milestone);
// True once the milestone is reached, false when timeoutMs passes first.
bool AwaitMilestone(Milestone milestone, DWORD timeoutMs);
const char* MilestoneName(Milestone milestone);
