#pragma once
// Device interface paths are compared as the system compares them: the
// ASCII letters without regard to case, every other byte exactly. The
// comparison does not depend on the user's locale or code page.

// True when both texts are equal with A-Z folded to a-z. Neither may be null.
bool PathsMatch(const char* a, const char* b);
