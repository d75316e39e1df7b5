#include "package/hash_list.h"

#include <cstring>

#include "fileio/code_page.h"
#include "package/le_bytes.h"

namespace {

// The table is read in steps, so that a bogus record count costs no more
// memory than the bytes the file really holds.
constexpr uint32_t kTableStep = 1u << 20;

bool TableNamesTerminated(const uint8_t* table, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (std::memchr(table + i * kHashRecordSize, 0, kHashRecordNameSize) == nullptr) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

char FoldLetter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

}  // namespace

void FoldListName(char* name, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (Cp932IsLeadByte(static_cast<uint8_t>(name[i])) && i + 1 < length && name[i + 1] != '\0') {
      ++i;  // the second byte of the character stays as it is
      continue;
    }
    name[i] = FoldLetter(name[i]);
  }
}

int CompareFoldedNames(const char* a, const char* b) {
  // The names agree up to i, so a second byte of a character stands at the
  // same place in both.
  bool second = false;
  for (size_t i = 0;; ++i) {
    char x = second ? a[i] : FoldLetter(a[i]);
    char y = second ? b[i] : FoldLetter(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
    if (x == '\0') return 0;
    second = !second && Cp932IsLeadByte(static_cast<uint8_t>(x));
  }
}

bool FoldedNamesEqual(const char* a, const char* b) { return CompareFoldedNames(a, b) == 0; }

int FindHashListEntry(const PackDirectory& directory) {
  for (uint32_t i = 0; i < directory.count; ++i) {
    if (FoldedNamesEqual(directory.Name(i), kHashListName)) return static_cast<int>(i);
  }
  return -1;
}

HashListStatus LoadHashListAt(DiskFile& file, uint32_t position, uint32_t size, HashList* list) {
  list->Clear();
  if (!file.Seek(position)) return kHashListSeekFailed;

  uint8_t header[kHashListHeaderSize];
  if (file.Read(header, kHashListHeaderSize) != kHashListHeaderSize) {
    return kHashListShortHeader;
  }
  if (std::memcmp(header, kHashListMagic, sizeof kHashListMagic) != 0) {
    return kHashListBadMagic;
  }
  if (size < kHashListHeaderSize) return kHashListPastEnd;
  uint32_t count = LoadLe32(header + 12);
  if (count == 0) return kHashListEmpty;
  uint64_t tableBytes = uint64_t{count} * kHashRecordSize;
  if (tableBytes > 0xFFFFFFFFu) return kHashListTooLarge;
  if (tableBytes > size - kHashListHeaderSize) return kHashListPastEnd;

  HeapBlock table;
  uint32_t have = 0;
  while (have < tableBytes) {
    uint32_t step = static_cast<uint32_t>(tableBytes - have);
    if (step > kTableStep) step = kTableStep;
    if (!table.Resize(size_t{have} + step)) return kHashListNoMemory;
    if (file.Read(table.data() + have, step) != step) return kHashListShortTable;
    have += step;
  }
  if (!TableNamesTerminated(table.data(), count)) return kHashListUnterminatedName;
  list->Assign(count, static_cast<HeapBlock&&>(table));
  return kHashListLoaded;
}

HashListStatus LoadHashList(DiskFile& file, const PackDirectory& directory, HashList* list) {
  list->Clear();
  int index = FindHashListEntry(directory);
  if (index < 0) return kHashListNoEntry;
  PackEntry entry = directory.Entry(static_cast<uint32_t>(index));
  return LoadHashListAt(file, entry.position, entry.size, list);
}

HashListStatus LoadHashListFile(DiskFile& file, HashList* list) {
  list->Clear();
  uint32_t size = file.GetSize();
  if (size == kSizeUnknown) return kHashListShortHeader;
  return LoadHashListAt(file, 0, size, list);
}

int FindHashRecord(const HashList& list, const char* name) {
  for (uint32_t i = 0; i < list.count(); ++i) {
    if (FoldedNamesEqual(list.RecordName(i), name)) return static_cast<int>(i);
  }
  return -1;
}

bool VerifyEntry(const HashList& list, const char* name, const ContentSum& sum) {
  int record = FindHashRecord(list, name);
  if (record < 0) return true;  // not listed: written unverified
  return list.RecordSum(static_cast<uint32_t>(record)) == sum;
}
