#include "tests/fuzz/fuzz_support.h"

#include <dirent.h>

void ClearDir(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") unlink((dir + "/" + name).c_str());
  }
  closedir(d);
}
