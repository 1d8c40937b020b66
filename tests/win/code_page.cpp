#include "tests/win/code_page.h"

#include <windows.h>

#include <gtest/gtest.h>

std::string ToCodePage1251(const std::string& utf8) {
  wchar_t wide[512];
  const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, wide, 512);
  EXPECT_GT(wideLength, 0) << utf8;
  char narrow[512];
  BOOL lossy = FALSE;
  const int length = WideCharToMultiByte(1251, 0, wide, -1, narrow, 512, nullptr, &lossy);
  EXPECT_GT(length, 0) << utf8;
  EXPECT_FALSE(lossy) << "not representable in code page 1251: " << utf8;
  return std::string(narrow);
}
