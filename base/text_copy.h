#pragma once
// Owned copies of texts, for every room.

// A copy of a NUL-terminated text (delete[] it), or null when memory is short.
char* CopyText(const char* text);
