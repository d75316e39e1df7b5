#include "package/pack_directory.h"

#include "package/le_bytes.h"
#include "package/name_rule.h"

namespace {

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

PackStatus ReadPackDirectory(DiskFile& file, PackDirectory* directory) {
  directory->count = 0;
  directory->dataBase = 0;
  uint32_t size = file.GetSize();
  // Unsigned: an unknown size (0xFFFFFFFF) passes, and the reads decide.
  if (size < kPackageOffset) return kPackTooSmall;
  // Where the seek fails, the read would take the program's own bytes for
  // the header.
  if (!file.Seek(kPackageOffset)) return kPackSeekFailed;

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
    PackStatus status = CheckPackEntry(*directory, i, size);
    if (status != kPackOk) return status;
  }
  return kPackOk;
}

PackStatus CheckPackEntry(const PackDirectory& directory, uint32_t index, uint32_t fileSize) {
  const uint8_t* record = directory.entries + index * kPackEntrySize;
  if (!HasTerminator(record, kPackNameSize)) return kPackUnterminatedName;
  // A name that Windows strips, cannot create, or reads as another file
  // would fail, or land elsewhere, only when its turn came.
  if (CheckStoredName(directory.Name(index), nullptr) != kNameValid) return kPackBadName;
  uint64_t position = uint64_t{directory.dataBase} + LoadLe32(record + 16);
  if (position >= kPackPositionLimit) return kPackBadPosition;
  // Entries past the end: a download cut short. The hash list, stored
  // last, would be missing too, and the entries before the cut would go
  // in unverified.
  if (position + LoadLe32(record + 20) > fileSize) return kPackDataPastEnd;
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
