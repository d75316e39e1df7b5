#include "publish/releases/hash_list_file.h"

#include <cstring>

HashListStatus LoadHashListFile(DiskFile& file, HashList* list) {
  // The file as a package of one "qen.hvl" entry that starts at offset 0.
  PackDirectory directory;
  directory.count = 1;
  directory.dataBase = 0;
  std::memcpy(directory.entries, kHashListName, sizeof kHashListName);
  return LoadHashList(file, directory, list);
}
