// The main thread's side of the control channel on a running bridge: poll
// requests on the wire, the serial as the device's name, the blocking
// balloon in the program's code page, refresh notices, and rows labelled
// from the compiled string table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/control_message.h"
#include "bridge/status_logic.h"
#include "bridge/status_poll.h"
#include "res/string_table.h"
#include "tests/native/status_bytes.h"
#include "tests/win/bridged_modem.h"
#include "tests/win/code_page.h"
#include "tests/win/fake_shell.h"
#include "tests/win/loopback_server.h"
#include "tests/win/test_window.h"
#include "ui/bridge_rows.h"
#include "ui/status_rows.h"

namespace {

using Bytes = std::vector<uint8_t>;

IoBuffer* Message(const Bytes& bytes) {
  IoBuffer* m = AllocIoBuffer();
  m->count = static_cast<uint32_t>(bytes.size());
  std::memcpy(m->data, bytes.data(), bytes.size());
  return m;
}

Bytes IdentifyReply(const std::string& serial) {
  Bytes reply(serial.size() < 10 ? 16 : 6 + serial.size(), 0);  // at least 16 bytes, the NUL inside
  std::memcpy(reply.data() + 5, serial.c_str(), serial.size());
  return reply;
}

// Refresh notices posted to a stand-in status window, taken from its queue.
int TakeRefreshNotices(HWND window) {
  int n = 0;
  MSG msg;
  while (PeekMessageA(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
    n += msg.wParam == CMD_STATUS_REFRESH && msg.lParam == 0 ? 1 : 0;
  }
  return n;
}

class StatusPollTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartSockets();
    ASSERT_TRUE(modem_.Start());
    bridge_ = modem_.bridge();
    ClearShellCalls();
    g_app.trayIconShown = true;  // as if the shell had the icon
  }

  TestWindow window_;
  BridgedModem modem_;
  ModemBridge* bridge_ = nullptr;
};

TEST_F(StatusPollTest, TicksAskForTheSerialThenForBothBlocksInTurn) {
  OnTick(bridge_);
  EXPECT_EQ(modem_.NextControl(), Bytes({CTL_IDENTIFY}));
  OnTick(bridge_);
  EXPECT_EQ(modem_.NextControl(), Bytes({CTL_IDENTIFY}));

  g_app.TakeDeviceMessage(modem_.record(), Message(IdentifyReply("SN-42")));
  ASSERT_NE(modem_.record()->displayName, nullptr);
  EXPECT_STREQ(modem_.record()->displayName, "SN-42");

  const Bytes expected[] = {
      {CTL_STATUS, STATUS_MODEM}, {CTL_STATUS, STATUS_KSEF}, {CTL_STATUS, STATUS_MODEM}};
  for (const Bytes& request : expected) {
    OnTick(bridge_);
    EXPECT_EQ(modem_.NextControl(), request);
  }
}

TEST_F(StatusPollTest, AnEmptySerialClearsTheDisplayName) {
  g_app.TakeDeviceMessage(modem_.record(), Message(IdentifyReply("SN-42")));
  g_app.TakeDeviceMessage(modem_.record(), Message(IdentifyReply("")));
  EXPECT_EQ(modem_.record()->displayName, nullptr);
  EXPECT_NE(bridge_->status.statusFlags & SF_SERIAL_KNOWN, 0u);
}

TEST_F(StatusPollTest, BlockingBalloonSpeaksTheProgramsCodePage) {
  g_app.TakeDeviceMessage(modem_.record(), Message(IdentifyReply("123456789012345")));
  g_app.TakeDeviceMessage(modem_.record(), Message(ModemStatusReply(1000, 1000 + 3599)));
  EXPECT_TRUE(ShownBalloons().empty());
  g_app.TakeDeviceMessage(modem_.record(), Message(ModemStatusReply(1000, 1000 + 3600)));
  g_app.TakeDeviceMessage(modem_.record(),
                          Message(ModemStatusReply(1000, 1000 + 3700)));  // same threshold: quiet
  ASSERT_EQ(ShownBalloons().size(), 1u);
  EXPECT_EQ(ShownBalloons()[0],
            ToCodePage1251("Увага! До блокування ЕККР 123456789012345 залишилося менше 71 годин(и)!"));
}

TEST_F(StatusPollTest, EveryMessageRefreshesAnOpenStatusWindow) {
  const HWND statusWindow =
      CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(statusWindow, nullptr);
  g_app.TakeDeviceMessage(modem_.record(), Message(ModemStatusReply(0, 0)));  // no window open yet
  bridge_->statusWindow = statusWindow;
  g_app.TakeDeviceMessage(modem_.record(), Message(ModemStatusReply(0, 0)));
  g_app.TakeDeviceMessage(modem_.record(), Message({}));                   // 0 bytes, ignored
  g_app.TakeDeviceMessage(modem_.record(), Message({CTL_STATUS, 55, 0}));  // too short, ignored
  g_app.TakeDeviceMessage(modem_.record(), Message({9, 9, 9, 9}));         // unknown type
  g_app.TakeDeviceMessage(modem_.record(), nullptr);                       // nothing at all
  EXPECT_EQ(TakeRefreshNotices(statusWindow), 4);
  bridge_->statusWindow = nullptr;
  DestroyWindow(statusWindow);
}

TEST_F(StatusPollTest, RowsCarryLabelsFromTheStringTable) {
  g_app.TakeDeviceMessage(modem_.record(), Message(ModemStatusReply(0, 0)));
  char buffer[512];
  EXPECT_EQ(RenderStatusRow(bridge_, TAB_INFO, 4, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), ToCodePage1251(StringTableText(IDS_BLOCKING_TIME)));
  EXPECT_EQ(std::string(buffer + std::strlen(buffer) + 1),
            ToCodePage1251(StringTableText(IDS_UNKNOWN_DEADLINE)));
  EXPECT_EQ(RenderStatusRow(bridge_, TAB_INFO, 14, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer + std::strlen(buffer) + 1), "01.01.00 00:00:00");
}

TEST_F(StatusPollTest, PollsHoldBackWhileTheModemTakesNoControlMessages) {
  simbus::LocalBus().HoldWrites(modem_.modem(), simbus::CONTROL_OUT, true);
  for (int tick = 0; tick < 100; ++tick) {
    OnTick(bridge_);
    window_.Pump(1);
  }
  simbus::LocalBus().HoldWrites(modem_.modem(), simbus::CONTROL_OUT, false);
  size_t delivered = 0;
  while (!modem_.NextControl(300).empty()) ++delivered;
  EXPECT_GE(delivered, 10u);
  EXPECT_LE(delivered, 17u) << "the backlog grew without bound";

  // A modem that answers again gets one request per tick once more.
  for (int tick = 0; tick < 5; ++tick) {
    OnTick(bridge_);
    EXPECT_EQ(modem_.NextControl(), Bytes({CTL_IDENTIFY})) << tick;
  }
}

}  // namespace
