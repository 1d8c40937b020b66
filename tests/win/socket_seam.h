#pragma once
// The bridge's socket calls as the flow test program links them: the real
// calls, except where a test arms a misbehaviour.
#include <winsock2.h>

#include <cstdint>

namespace seam {

enum class Fault {
  FailStart,       // the call fails at once with WSAECONNRESET
  FailCompletion,  // the call is taken and completes with WSAECONNRESET
  Hold,            // the call is taken and completes only at CompleteHeld
};

// Arms the next receive (or send) call only.
void ArmNextReceive(Fault fault);
void ArmNextSend(Fault fault);
// Every later send asks the stack for at most `bytes` (0: all it was given),
// so sends complete with fewer bytes than the bridge asked for.
void LimitSends(ULONG bytes);
// Whether a receive (or send) call is being held.
bool Holds(bool receive);
// Receive calls made since the last Reset.
int ReceiveCalls();
// Completes the held transfer now, successfully, as a late stack would: a
// receive fills its whole buffer with `fill`. False when none is held.
bool CompleteHeld(bool receive, uint8_t fill);
void Reset();  // forgets everything armed or held

}  // namespace seam
