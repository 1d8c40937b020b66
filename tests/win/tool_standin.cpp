// Stands in for a tool Windows ships (fltmc, logman, tracerpt, explorer) in
// the trace script's test, copied under the tool's name: it adds its name
// and first argument as a line to calls.log beside it, makes the file named
// after "-o" when it succeeds, as logman and tracerpt do, and exits with the
// code STANDIN_EXIT_<name> holds (0 when unset).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string module = path;
  const std::string folder = module.substr(0, module.rfind('\\') + 1);
  std::string name = module.substr(folder.size());
  name.erase(name.rfind('.'));

  char code[32] = {};
  const DWORD exitCode = GetEnvironmentVariableA(("STANDIN_EXIT_" + name).c_str(), code, sizeof code) != 0
                             ? std::strtoul(code, nullptr, 0)
                             : 0;
  if (FILE* log = std::fopen((folder + "calls.log").c_str(), "a")) {
    std::fprintf(log, "%s%s%s\n", name.c_str(), argc > 1 ? " " : "", argc > 1 ? argv[1] : "");
    std::fclose(log);
  }
  for (int i = 1; exitCode == 0 && i + 1 < argc; ++i) {
    FILE* made = std::strcmp(argv[i], "-o") == 0 ? std::fopen(argv[i + 1], "w") : nullptr;
    if (made != nullptr) std::fclose(made);
  }
  ExitProcess(exitCode);
}
