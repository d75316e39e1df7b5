#include "package/pack_directory.h"

#include "fileio/code_page.h"
#include "package/le_bytes.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A component made of dots and spaces only, with two dots or more, is a
// parent step once Windows drops trailing dots and spaces.
bool IsParentStep(const char* begin, const char* end) {
  int dots = 0;
  for (const char* p = begin; p != end; ++p) {
    if (*p == '.') {
      ++dots;
    } else if (*p != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

bool HasTerminator(const uint8_t* field, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) {
    if (field[i] == 0) return true;
  }
  return false;
}

}  // namespace

PackEntry PackDirectory::Entry(uint32_t index) const {
  const uint8_t* record = entries + index * kPackEntrySize;
  PackEntry entry;
  entry.name = reinterpret_cast<const char*>(record);
  entry.offset = LoadLe32(record + 16);
  entry.size = LoadLe32(record + 20);
  entry.position = dataBase + entry.offset;
  return entry;
}

bool IsSafeEntryName(const char* name) {
  if (IsSeparator(name[0])) return false;
  const char* component = name;
  for (const char* p = name;; ++p) {
    if (*p == ':') return false;  // drive letters and alternate streams
    if (*p == '\0' || IsSeparator(*p)) {
      if (IsParentStep(component, p)) return false;
      if (*p == '\0') return true;
      component = p + 1;
    }
  }
}

PackStatus ReadPackDirectory(DiskFile& file, PackDirectory* directory) {
  directory->count = 0;
  directory->dataBase = 0;
  uint32_t size = file.GetSize();
  // Unsigned: an unknown size (0xFFFFFFFF) passes, and the reads decide.
  if (size < kPackageOffset) return kPackTooSmall;
  file.Seek(kPackageOffset);

  uint8_t header[kPackHeaderSize];
  if (file.Read(header, kPackHeaderSize) != kPackHeaderSize) return kPackShortHeader;
  uint32_t count = LoadLe32(header + kPackSignatureSize);
  if (count > kMaxPackEntries) return kPackTooMany;

  uint32_t directoryBytes = count * kPackEntrySize;
  if (count != 0 && file.Read(directory->entries, directoryBytes) != directoryBytes) {
    return kPackShortDirectory;
  }
  directory->count = count;
  directory->dataBase = kPackageOffset + kPackHeaderSize + directoryBytes;

  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* record = directory->entries + i * kPackEntrySize;
    if (!HasTerminator(record, kPackNameSize)) return kPackUnterminatedName;
    if (!IsSafeEntryName(directory->Name(i))) return kPackUnsafeName;
    // Names are code page 932 on every system; one that is not cannot name
    // a file, and is refused before anything is written.
    char converted[kPackNameSize * 3];
    if (!Cp932ToUtf8(directory->Name(i), converted, sizeof converted)) return kPackBadName;
    uint64_t position = uint64_t{directory->dataBase} + LoadLe32(record + 16);
    if (position >= kPackPositionLimit) return kPackBadPosition;
  }
  return kPackOk;
}

UpdateResult PackStatusResult(PackStatus status) {
  if (status == kPackOk) return UPD_OK;
  if (status == kPackTooMany) return UPD_E_TOO_MANY;
  return UPD_E_PACKAGE;
}

bool SeekPackEntry(DiskFile& file, const PackDirectory& directory, uint32_t index) {
  return file.Seek(directory.Entry(index).position) == 1;
}
