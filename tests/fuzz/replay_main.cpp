// Runs a fuzz target over every file of the corpus folders it is given,
// so that the test command replays the corpus without the fuzzer.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Replay(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(file);
  // A fresh allocation of exactly the input's size, as the fuzzer gives it.
  std::vector<uint8_t> input(bytes);
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    DIR* folder = opendir(argv[i]);
    if (folder == nullptr) {
      std::fprintf(stderr, "replay: no corpus folder %s\n", argv[i]);
      return 1;
    }
    while (const dirent* entry = readdir(folder)) {
      if (entry->d_name[0] != '.' && Replay(std::string(argv[i]) + "/" + entry->d_name)) ++inputs;
    }
    closedir(folder);
  }
  std::printf("replay: %zu inputs, no finding\n", inputs);
  return inputs > 0 ? 0 : 1;
}
