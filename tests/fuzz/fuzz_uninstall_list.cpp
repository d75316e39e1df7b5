// The uninstall list update against a model of its result: the fuzzer
// gives the old list's bytes and up to 16 names.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "records/uninstall_list.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool HasLine(const std::string& text, const std::string& name) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t lineEnd = end;
    if (lineEnd > start && text[lineEnd - 1] == '\r') --lineEnd;
    if (text.compare(start, lineEnd - start, name) == 0 && lineEnd - start == name.size()) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// The list as it must be afterwards: the text before the first NUL, a line
// feed where the text lacks its last one, each new name on a line, a NUL,
// then whatever followed the old NUL.
std::string Expected(const std::string& old, const std::vector<std::string>& names) {
  size_t nul = old.find('\0');
  std::string text = old.substr(0, nul);
  std::string rest = nul == std::string::npos ? "" : old.substr(nul + 1);
  std::string added;
  for (const std::string& name : names) {
    if (name.empty() || HasLine(text, name) || HasLine(added, name)) continue;
    added += name + "\n";
  }
  if (!added.empty() && !text.empty() && text.back() != '\n') text += '\n';
  return text + added + std::string(1, '\0') + rest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string folder = ScratchDir() + "/game";
  static const std::string list = folder + "/uninst.lst";
  FuzzedDataProvider input(data, size);
  std::vector<std::string> names;
  size_t count = input.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < count; ++i) {
    // Names are file names: no NUL, and no line breaks, which Windows
    // file names cannot hold.
    std::string name = input.ConsumeRandomLengthString(40);
    name = name.substr(0, name.find_first_of(std::string("\0\r\n", 3)));
    names.push_back(name);
  }
  std::string old = input.ConsumeRemainingBytesAsString();

  ClearDir(folder);
  mkdir(folder.c_str(), 0700);
  if (!WriteWhole(list, old.data(), old.size())) std::abort();
  std::vector<const char*> pointers;
  for (const std::string& name : names) pointers.push_back(name.c_str());
  pointers.push_back(nullptr);

  int result = AppendUninstallList(folder.c_str(), pointers.data());
  bool exists = false;
  std::string now = ReadWhole(list, &exists);
  if (!exists) std::abort();
  if (result == 1 && now != Expected(old, names)) std::abort();
  if (result != 1 && now != old) std::abort();
  // Nothing is left beside the list: no temporary file, whatever happened.
  size_t files = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++files;
    }
    closedir(dir);
  }
  if (files != 1) std::abort();
  return 0;
}
