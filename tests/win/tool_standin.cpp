// Stands in for a tool Windows ships (fltmc, logman, tracerpt, explorer) in
// the trace script's test, copied under its name: adds its name and first
// argument to calls.log beside it, makes the file after "-o" as logman and
// tracerpt do, and exits with STANDIN_EXIT_<name> (0 when unset).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  char path[MAX_PATH] = {}, code[16] = "0";
  const std::string module(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  const size_t folder = module.rfind('\\') + 1;
  const std::string name = module.substr(folder, module.rfind('.') - folder);
  GetEnvironmentVariableA(("STANDIN_EXIT_" + name).c_str(), code, sizeof code);
  const DWORD exitCode = std::strtoul(code, nullptr, 0);
  std::FILE* log = std::fopen((module.substr(0, folder) + "calls.log").c_str(), "a");
  std::fprintf(log, "%s %s\n", name.c_str(), argc > 1 ? argv[1] : "");
  std::fclose(log);
  for (int i = 1; exitCode == 0 && i + 1 < argc; ++i)
    if (std::string(argv[i]) == "-o") std::fclose(std::fopen(argv[i + 1], "w"));
  ExitProcess(exitCode);
}
