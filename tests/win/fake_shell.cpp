#include "tests/win/fake_shell.h"

#include "app/app_state.h"

std::vector<std::string>& ShownBalloons() {
  static std::vector<std::string> texts;
  return texts;
}

BOOL AppState::ShowBalloon(const char* text) {
  ShownBalloons().push_back(text);
  return TRUE;
}
