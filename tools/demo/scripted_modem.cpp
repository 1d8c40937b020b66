#include "tools/demo/scripted_modem.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "bridge/control_message.h"
#include "simbus/modem_bus.h"
#include "tools/demo/acquirer_server.h"
#include "tools/demo/demo_output.h"
#include "tools/demo/demo_window.h"
#include "tools/demo/milestones.h"
#include "tools/demo/modem_replies.h"
#include "tools/modem-sim/narrator.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr DWORD STEP_MS = 5000;     // the longest any step may take
constexpr DWORD POLL_WAIT_MS = 50;  // how long one look for a control message waits
constexpr uint32_t REPLY_SIZE = 256;

constexpr const char* PAYLOADS[] = {"receipt 0001: 12.50 UAH", "receipt 0002: 7.25 UAH", "shift report 0001"};

// The modem's side of the conversation, on the script's thread.
struct ModemRun {
  int modem;
  uint16_t acquirerPort;
  uint32_t identifyPolls;
  uint32_t statusPolls[2];  // by sub-type
  uint32_t connectedReplies;
};

simbus::ModemBus& Bus() {
  return simbus::LocalBus();
}

void SendControl(const ModemRun& run, const Bytes& message, const char* caption, bool shown) {
  if (shown) SayBytes("modem", caption, message.data(), message.size());
  Bus().Deliver(run.modem, simbus::CONTROL_IN, message.data(), static_cast<uint32_t>(message.size()));
}

// Polls come every tick; only the first of each kind is shown.
void AnswerPoll(ModemRun& run, const Bytes& request) {
  if (request[0] == CTL_IDENTIFY) {
    const bool first = run.identifyPolls++ == 0;
    if (first) SayBytes("modem", "<- CTL_IDENTIFY request", request.data(), request.size());
    SendControl(run, IdentifyReply(), "-> identify reply", first);
    return;
  }
  const bool modemBlock = request[1] == STATUS_MODEM;
  const bool first = run.statusPolls[request[1]]++ == 0;
  if (first) {
    SayBytes("modem", modemBlock ? "<- CTL_STATUS ModemStatus" : "<- CTL_STATUS KsefStatus", request.data(),
             request.size());
  }
  SendControl(run, modemBlock ? ModemStatusReply(run.acquirerPort) : KsefStatusReply(),
              modemBlock ? "-> ModemStatus block" : "-> KsefStatus block", first);
  if (first && !modemBlock) SayMore("(the polls that follow are answered alike and not shown)");
}

// Takes the gateway's next control message, if one comes within timeoutMs,
// and plays the modem's part.
void ServeControl(ModemRun& run, DWORD timeoutMs) {
  Bytes message;
  if (!Bus().Take(run.modem, simbus::CONTROL_OUT, &message, timeoutMs) || message.empty()) return;
  const bool identify = message.size() == 1 && message[0] == CTL_IDENTIFY;
  const bool status = message.size() == 2 && message[0] == CTL_STATUS && message[1] <= STATUS_KSEF;
  if (identify || status) {
    AnswerPoll(run, message);
    return;
  }
  if (message[0] == CTL_CONNECTED) ++run.connectedReplies;
  SayBytes("modem", modemsim::ToModemCaption(message[0]), message.data(), message.size());
}

// Serves the control channel until `done` holds; false after STEP_MS.
bool ServeUntil(ModemRun& run, bool (*done)(const ModemRun&), const char* awaited) {
  const ULONGLONG deadline = GetTickCount64() + STEP_MS;
  while (!done(run)) {
    if (GetTickCount64() >= deadline) {
      Say("modem", "gave up waiting for %s", awaited);
      return false;
    }
    ServeControl(run, POLL_WAIT_MS);
  }
  return true;
}

bool StatusTaken(const ModemRun&) {
  return Reached(MS_STATUS_TAKEN) && Reached(MS_BALLOON);
}

bool Linked(const ModemRun& run) {
  return run.connectedReplies > 0 && Reached(MS_LINK_UP);
}

bool Unlinked(const ModemRun&) {
  return Reached(MS_LINK_DOWN) && Reached(MS_SERVER_CLOSED);
}

// Sends one payload on the data IN pipe and checks that the acquirer's
// reply comes back unchanged on the data OUT pipe, in one or more transfers.
bool Exchange(ModemRun& run, const char* payload) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(payload);
  const uint32_t size = static_cast<uint32_t>(std::strlen(payload));
  uint8_t expected[REPLY_SIZE];
  const uint32_t expectedSize = MakeAcquirerReply(bytes, size, expected, sizeof expected);
  Say("modem", "-> data %u bytes \"%s\"", static_cast<unsigned>(size), payload);
  Bus().Deliver(run.modem, simbus::DATA_IN, bytes, size);

  Bytes reply;
  const ULONGLONG deadline = GetTickCount64() + STEP_MS;
  while (reply.size() < expectedSize && GetTickCount64() < deadline) {
    Bytes piece;
    if (Bus().Take(run.modem, simbus::DATA_OUT, &piece, POLL_WAIT_MS)) {
      reply.insert(reply.end(), piece.begin(), piece.end());
    }
    ServeControl(run, 0);
  }
  char text[REPLY_SIZE];
  PrintableText(reply.data(), reply.size(), text, sizeof text);
  Say("modem", "<- data %u bytes \"%s\"", static_cast<unsigned>(reply.size()), text);
  if (reply != Bytes(expected, expected + expectedSize)) {
    Say("modem", "that is not the acquirer's reply");
    return false;
  }
  return true;
}

bool Converse(ModemRun& run) {
  if (!Reached(MS_LISTED)) {
    Say("modem", "the gateway did not list the modem");
    return false;
  }
  if (!ServeUntil(run, StatusTaken, "the gateway to take its status")) return false;

  char address[32];
  std::snprintf(address, sizeof address, "127.0.0.1:%u", static_cast<unsigned>(run.acquirerPort));
  Bytes connect = {CTL_CONNECT, 0, 0};
  connect.insert(connect.end(), address, address + std::strlen(address));
  Say("modem", "asks for a link to %s", address);
  SendControl(run, connect, "-> CTL_CONNECT", true);
  if (!ServeUntil(run, Linked, "the link")) return false;

  for (const char* payload : PAYLOADS) {
    if (!Exchange(run, payload)) return false;
  }

  Say("modem", "asks to close the link");
  SendControl(run, {CTL_CONNECT}, "-> CTL_CONNECT", true);
  if (!ServeUntil(run, Unlinked, "the link to close")) return false;

  Say("user", "opens the status window");
  SendMessageA(g_app.mainWindow, WM_DEMO_SHOW_STATUS, 0, 0);
  return Reached(MS_STATUS_SHOWN);
}

}  // namespace

DWORD WINAPI RunModemScript(LPVOID param) {
  auto* script = static_cast<ModemScript*>(param);
  ModemRun run = {};
  run.acquirerPort = script->acquirerPort;
  Say("modem", "plugged in");
  run.modem = Bus().Plug(simbus::StandardLayout());
  script->passed = Converse(run);
  Say("modem", "unplugged, after answering %u identify and %u status polls", run.identifyPolls,
      run.statusPolls[STATUS_MODEM] + run.statusPolls[STATUS_KSEF]);
  Bus().Unplug(run.modem);
  return 0;
}
