// ExtensionOf and MatchesExtension against a model of the rule written
// another way: the tail after the last dot (the whole name without one),
// compared byte by byte with only a-z folded onto A-Z.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "sweep/sweep.h"

namespace {

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

std::string Tail(const std::string& name) {
  size_t at = name.size();
  while (at > 0 && name[at - 1] != '.') --at;
  return name.substr(at);
}

bool ModelMatches(const std::string& name, const std::string& wanted) {
  std::string tail = Tail(name);
  if (tail.size() != wanted.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (Fold(tail[i]) != Fold(wanted[i])) return false;
  return true;
}

// The tool's texts never hold a NUL.
std::string Text(std::string bytes) {
  bytes.erase(std::remove(bytes.begin(), bytes.end(), '\0'), bytes.end());
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string name = Text(input.ConsumeRandomLengthString(300));
  std::string wanted = Text(input.ConsumeRemainingBytesAsString());

  std::string extension = static_cast<const char*>(ExtensionOf(name.c_str()));
  std::string tail = Tail(name);
  if (extension.size() != tail.size() || extension.find('.') != std::string::npos) abort();
  for (size_t i = 0; i < tail.size(); ++i)
    if (extension[i] != Fold(tail[i])) abort();

  CString upper(wanted.c_str());
  upper.MakeUpper();
  if (MatchesExtension(name.c_str(), upper) != ModelMatches(name, wanted)) abort();
  return 0;
}
