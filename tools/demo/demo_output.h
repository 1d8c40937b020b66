#pragma once
// The demo's narration on stdout, as UTF-8 lines. Any thread may speak;
// each line is written whole. The program's own texts are in the ANSI code
// page (1251) and are converted before they are printed.
#include <windows.h>

#include <cstddef>
#include <cstdint>

// Call once before anything is said, and close after the last line.
void OpenDemoOutput();
void CloseDemoOutput();

// One line: time since the demo started, who speaks, the text (UTF-8).
void Say(const char* who, const char* format, ...);
// A line under the text column of the line before, without time or speaker.
void SayMore(const char* format, ...);
// A caption and bytes in hex, 16 to a line, the rest on further lines.
void SayBytes(const char* who, const char* caption, const uint8_t* bytes, size_t count);

// The bytes as text for a line: printable ASCII as it is, any other byte as
// '.', cut to fit `text` of `size` bytes (at least 1; NUL-terminated).
void PrintableText(const uint8_t* bytes, size_t count, char* text, size_t size);

// Converts NUL-terminated text in code page 1251 to UTF-8 in `utf8` of
// `size` bytes (cut to fit, always NUL-terminated).
void AnsiToUtf8(const char* ansi, char* utf8, int size);
// The characters (not bytes) of a UTF-8 text, for lining up columns.
int Utf8Width(const char* utf8);
