#include "fileio/file_ops.h"

#include <cstring>

int JoinPath(char* out, uint32_t size, const char* folder, const char* name) {
  size_t folderLength = std::strlen(folder);
  size_t nameLength = std::strlen(name);
  // folder + '\' + name + NUL, compared without overflow.
  if (size == 0 || folderLength >= size || nameLength >= size - folderLength - 1) {
    if (size != 0) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, folder, folderLength);
  out[folderLength] = '\\';
  std::memcpy(out + folderLength + 1, name, nameLength + 1);
  return 1;
}
