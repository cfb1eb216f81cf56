// Runs a fuzzer's target over a corpus, and over changed copies of each of
// its inputs, without libFuzzer: for a sanitizer that libFuzzer's coverage
// counters would trouble.
//   replay SECONDS DIR...
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc < 3) return fprintf(stderr, "usage: replay SECONDS DIR...\n"), 2;
  std::vector<std::string> inputs;
  for (int i = 2; i < argc; ++i) {
    DIR* dir = opendir(argv[i]);
    while (struct dirent* d = dir ? readdir(dir) : nullptr) {
      if (d->d_name[0] == '.') continue;
      std::ifstream in(std::string(argv[i]) + "/" + d->d_name, std::ios::binary);
      inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (dir) closedir(dir);
  }
  if (inputs.empty()) inputs.emplace_back();
  time_t end = time(nullptr) + atoi(argv[1]);
  unsigned seed = 1;
  size_t runs = 0;
  // Each input as it is first, then with a few bytes changed, until the time is up.
  for (size_t round = 0; round == 0 || time(nullptr) < end; ++round) {
    for (std::string input : inputs) {
      for (size_t i = 0; round > 0 && !input.empty() && i < 4; ++i)
        input[rand_r(&seed) % input.size()] = static_cast<char>(rand_r(&seed));
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
      ++runs;
    }
  }
  printf("replay: %zu runs over %zu inputs\n", runs, inputs.size());
  return 0;
}
