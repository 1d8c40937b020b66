#include "tools/demo/demo_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int LINE_SIZE = 1024;
constexpr int BYTES_PER_LINE = 16;
constexpr int ANSI_CODE_PAGE = 1251;
// "[  1.23] speaker  ": 18 columns, then the text.
constexpr const char* TEXT_INDENT = "                  ";

CRITICAL_SECTION g_lock;
ULONGLONG g_start;

// A console takes wide text (it would read bytes in its own code page);
// a pipe or file gets the UTF-8 bytes as they are.
void WriteLine(const char* utf8) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  DWORD written = 0;
  EnterCriticalSection(&g_lock);
  if (GetConsoleMode(out, &mode)) {
    wchar_t wide[LINE_SIZE];
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, LINE_SIZE);
    if (n > 1) WriteConsoleW(out, wide, static_cast<DWORD>(n - 1), &written, nullptr);
  } else {
    WriteFile(out, utf8, static_cast<DWORD>(std::strlen(utf8)), &written, nullptr);
  }
  LeaveCriticalSection(&g_lock);
}

void SayLine(const char* prefix, const char* format, va_list args) {
  char line[LINE_SIZE];
  int used = std::snprintf(line, sizeof line, "%s", prefix);
  std::vsnprintf(line + used, sizeof line - used - 1, format, args);  // room left for the newline
  used = static_cast<int>(std::strlen(line));
  line[used] = '\n';
  line[used + 1] = '\0';
  WriteLine(line);
}

}  // namespace

void OpenDemoOutput() {
  InitializeCriticalSection(&g_lock);
  g_start = GetTickCount64();
}

void CloseDemoOutput() {
  DeleteCriticalSection(&g_lock);
}

void Say(const char* who, const char* format, ...) {
  char prefix[64];
  const ULONGLONG elapsed = GetTickCount64() - g_start;
  std::snprintf(prefix, sizeof prefix, "[%3u.%02u] %-9s", static_cast<unsigned>(elapsed / 1000),
                static_cast<unsigned>(elapsed % 1000 / 10), who);
  va_list args;
  va_start(args, format);
  SayLine(prefix, format, args);
  va_end(args);
}

void SayMore(const char* format, ...) {
  va_list args;
  va_start(args, format);
  SayLine(TEXT_INDENT, format, args);
  va_end(args);
}

void SayBytes(const char* who, const char* caption, const uint8_t* bytes, size_t count) {
  for (size_t first = 0; first == 0 || first < count; first += BYTES_PER_LINE) {
    char hex[BYTES_PER_LINE * 3 + 1] = "";
    size_t used = 0;
    for (size_t i = first; i < count && i < first + BYTES_PER_LINE; ++i) {
      used += std::snprintf(hex + used, sizeof hex - used, used == 0 ? "%02X" : " %02X", bytes[i]);
    }
    if (first == 0) {
      Say(who, "%-26s %s", caption, count == 0 ? "(no bytes)" : hex);
    } else {
      SayMore("%-26s %s", "", hex);
    }
  }
}

void PrintableText(const uint8_t* bytes, size_t count, char* text, size_t size) {
  size_t i = 0;
  for (; i < count && i + 1 < size; ++i)
    text[i] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
  text[i] = '\0';
}

void AnsiToUtf8(const char* ansi, char* utf8, int size) {
  wchar_t wide[LINE_SIZE];
  if (MultiByteToWideChar(ANSI_CODE_PAGE, 0, ansi, -1, wide, LINE_SIZE) <= 0 ||
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, nullptr, nullptr) <= 0) {
    utf8[0] = '\0';  // too long for the line: nothing rather than a broken character
  }
}

int Utf8Width(const char* utf8) {
  int width = 0;
  for (const char* p = utf8; *p != '\0'; ++p) {
    if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++width;
  }
  return width;
}
