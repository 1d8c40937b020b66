#include "usb/path_match.h"

namespace {

unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

bool PathsMatch(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char x = FoldAscii(static_cast<unsigned char>(*a));
    if (x != FoldAscii(static_cast<unsigned char>(*b))) return false;
    if (x == '\0') return true;
  }
}
