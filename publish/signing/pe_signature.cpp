#include "publish/signing/pe_signature.h"

#include "package/le_bytes.h"

namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNewHeaderOffsetField = 0x3C;  // e_lfanew
constexpr uint32_t kFileHeaderSize = 20;           // COFF header after "PE\0\0"
constexpr uint32_t kOptionalHeaderSizeField = 16;  // within the COFF header
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
// Where NumberOfRvaAndSizes and the data directories stand in the optional
// header of each format.
constexpr uint32_t kDirectoryCountPe32 = 92;
constexpr uint32_t kDirectoriesPe32 = 96;
constexpr uint32_t kDirectoryCountPe32Plus = 108;
constexpr uint32_t kDirectoriesPe32Plus = 112;
constexpr uint32_t kSecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr uint32_t kDirectorySize = 8;
// Signature, COFF header and the optional header up to the end of the
// certificate table entry in the longer (PE32+) format.
constexpr uint32_t kHeadersRead =
    4 + kFileHeaderSize + kDirectoriesPe32Plus + (kSecurityDirectory + 1) * kDirectorySize;

}  // namespace

PeSignature ReadPeSignature(DiskFile& file) {
  PeSignature result;
  uint32_t fileSize = file.GetSize();
  uint8_t dos[kDosHeaderSize];
  if (fileSize == kSizeUnknown || !file.Seek(0) || file.Read(dos, sizeof dos) != sizeof dos ||
      dos[0] != 'M' || dos[1] != 'Z') {
    return result;
  }
  uint32_t peOffset = LoadLe32(dos + kNewHeaderOffsetField);
  if (peOffset > kMaxSeekPosition || !file.Seek(peOffset)) return result;
  uint8_t headers[kHeadersRead] = {};
  uint32_t got = file.Read(headers, sizeof headers);
  if (got < 4 + kFileHeaderSize + 2 || headers[0] != 'P' || headers[1] != 'E' ||
      headers[2] != 0 || headers[3] != 0) {
    return result;
  }
  uint32_t optionalSize = LoadLe16(headers + 4 + kOptionalHeaderSizeField);
  const uint8_t* optional = headers + 4 + kFileHeaderSize;
  uint32_t optionalGot = got - 4 - kFileHeaderSize;
  uint32_t countAt, directoriesAt;
  switch (LoadLe16(optional)) {
    case kMagicPe32:
      countAt = kDirectoryCountPe32;
      directoriesAt = kDirectoriesPe32;
      break;
    case kMagicPe32Plus:
      countAt = kDirectoryCountPe32Plus;
      directoriesAt = kDirectoriesPe32Plus;
      break;
    default:
      return result;  // an object file or a ROM image, not a program
  }
  result.status = kPeUnsigned;
  uint32_t entryAt = directoriesAt + kSecurityDirectory * kDirectorySize;
  uint32_t entryEnd = entryAt + kDirectorySize;
  if (optionalSize < entryEnd || optionalGot < entryEnd ||
      LoadLe32(optional + countAt) <= kSecurityDirectory) {
    return result;
  }
  result.tableOffset = LoadLe32(optional + entryAt);
  result.tableSize = LoadLe32(optional + entryAt + 4);
  // Either field set counts: a half-written entry is no unsigned file.
  if (result.tableOffset == 0 && result.tableSize == 0) return result;
  result.status = kPeSigned;
  result.tableInFile =
      static_cast<uint64_t>(result.tableOffset) + result.tableSize <= fileSize;
  return result;
}

bool ReadPeSignatureOf(const std::string& path, PeSignature* out) {
  *out = PeSignature();
  DiskFile file;
  if (!file.OpenRead(path.c_str())) return false;
  *out = ReadPeSignature(file);
  return true;
}
