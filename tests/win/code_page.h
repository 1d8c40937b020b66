#pragma once
// The program's texts are ANSI, code page 1251 (tests run with a Ukrainian
// locale): what a UTF-8 source text looks like to the program.
#include <string>

std::string ToCodePage1251(const std::string& utf8);
