#include "package/release_check.h"

namespace {

bool Carried(const char* name, const char* const* carried) {
  for (; *carried != nullptr; ++carried) {
    if (FoldedNamesEqual(*carried, name)) return true;
  }
  return false;
}

// Whether an earlier record of the list has the same name: only the first
// one counts, as when entries are verified.
bool Shadowed(const HashList& list, uint32_t index) {
  const char* name = list.RecordName(index);
  for (uint32_t i = 0; i < index; ++i) {
    if (FoldedNamesEqual(list.RecordName(i), name)) return true;
  }
  return false;
}

}  // namespace

int FindForeignRecord(const HashList& patchList, const char* const* carried,
                      const HashList& installed) {
  for (uint32_t i = 0; i < patchList.count(); ++i) {
    const char* name = patchList.RecordName(i);
    if (Carried(name, carried) || Shadowed(patchList, i)) continue;
    int record = FindHashRecord(installed, name);
    if (record < 0 || !(installed.RecordSum(static_cast<uint32_t>(record)) ==
                        patchList.RecordSum(i))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}
