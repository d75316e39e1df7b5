#include "fileio/wide_path.h"

WidePath::WidePath(const char* utf8) {
  path_[0] = L'\0';
  // Room for kMaxPathUnits units and the terminator, no more.
  ok_ = utf8 != nullptr && Utf8ToWide(utf8, path_, kMaxPathUnits + 1) == 1;
}
