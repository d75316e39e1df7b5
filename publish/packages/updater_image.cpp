#include "publish/packages/updater_image.h"

#include <cctype>
#include <vector>

#include "package/le_bytes.h"
#include "package/pack_directory.h"
#include "publish/shared/output_file.h"
#include "publish/signing/pe_signature.h"

const char kTwinStubWarning[] =
    "is the x86-64 test twin of the updater (PE32+); never ship a patch made from it: "
    "players get the 32-bit updater (build/win32/updater.exe)";

namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNewHeaderOffsetField = 0x3C;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kDll = 0x2000;
constexpr uint16_t kSubsystemGui = 2;
constexpr uint32_t kSubsystemAt = 68;  // in the optional header, either format
constexpr uint32_t kSizeOfHeadersAt = 60;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kImportDirectory = 1;
constexpr uint32_t kImportDescriptorSize = 20;
constexpr uint32_t kMaxImportedDlls = 64;
constexpr uint32_t kMaxDllName = 256;

// What the updater may import: the system, and the C runtime that ships
// with every Windows. Anything else would have to travel beside it.
const char* const kSystemDlls[] = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"};

struct Section {
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

bool ReadAt(DiskFile& file, uint32_t position, void* out, uint32_t size) {
  return file.Seek(position) && file.Read(out, size) == size;
}

bool RvaToOffset(const std::vector<Section>& sections, uint32_t rva, uint32_t* offset) {
  for (const Section& s : sections) {
    uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
    if (rva >= s.virtualAddress && rva - s.virtualAddress < span &&
        rva - s.virtualAddress < s.rawSize) {
      *offset = s.rawOffset + (rva - s.virtualAddress);
      return true;
    }
  }
  return false;
}

bool IsSystemDll(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* dll : kSystemDlls) {
    if (name == dll) return true;
  }
  return false;
}

// The names of the imported DLLs must all be system DLLs.
bool CheckImports(DiskFile& file, const std::vector<Section>& sections, uint32_t importRva,
                  std::string* problem) {
  if (importRva == 0) return true;
  uint32_t at;
  if (!RvaToOffset(sections, importRva, &at)) {
    *problem = "has an import table that lies in no section";
    return false;
  }
  for (uint32_t i = 0; i < kMaxImportedDlls; ++i, at += kImportDescriptorSize) {
    uint8_t descriptor[kImportDescriptorSize];
    if (!ReadAt(file, at, descriptor, sizeof descriptor)) {
      *problem = "has an import table that runs past its end";
      return false;
    }
    bool last = true;
    for (uint8_t b : descriptor) last = last && b == 0;
    if (last) return true;
    uint32_t nameAt;
    char name[kMaxDllName];
    if (!RvaToOffset(sections, LoadLe32(descriptor + 12), &nameAt) || !file.Seek(nameAt)) {
      *problem = "has an import table that names a DLL outside its sections";
      return false;
    }
    uint32_t got = file.Read(name, sizeof name);
    uint32_t length = 0;
    while (length < got && name[length] != '\0') ++length;
    if (length == got) {
      *problem = "has an import table whose DLL name has no end";
      return false;
    }
    std::string dll(name, length);
    if (!IsSystemDll(dll)) {
      *problem = "imports " + dll +
                 ", which is not a system DLL: players would need it beside the patch";
      return false;
    }
  }
  *problem = "imports more than " + std::to_string(kMaxImportedDlls) + " DLLs";
  return false;
}

}  // namespace

bool CheckUpdaterImage(DiskFile& file, bool acceptTwin, UpdaterImage* image,
                       std::string* problem) {
  *image = UpdaterImage();
  uint32_t fileSize = file.GetSize();
  uint8_t dos[kDosHeaderSize];
  if (fileSize == kSizeUnknown || !ReadAt(file, 0, dos, sizeof dos) || dos[0] != 'M' ||
      dos[1] != 'Z') {
    *problem = "is not a Windows program (no MZ header)";
    return false;
  }
  uint32_t peAt = LoadLe32(dos + kNewHeaderOffsetField);
  uint8_t head[4 + kFileHeaderSize];
  if (peAt >= kPackageOffset || !ReadAt(file, peAt, head, sizeof head) || head[0] != 'P' ||
      head[1] != 'E' || head[2] != 0 || head[3] != 0) {
    *problem = "is not a Windows program (no PE header)";
    return false;
  }
  uint16_t machine = LoadLe16(head + 4);
  uint32_t sectionCount = LoadLe16(head + 6);
  uint32_t optionalSize = LoadLe16(head + 20);
  uint16_t characteristics = LoadLe16(head + 22);
  uint32_t optionalAt = peAt + 4 + kFileHeaderSize;
  uint8_t optional[240] = {};
  if (optionalSize < 2 || optionalSize > sizeof optional ||
      !ReadAt(file, optionalAt, optional, optionalSize)) {
    *problem = "is not a Windows program (its optional header is missing or cut short)";
    return false;
  }
  uint16_t magic = LoadLe16(optional);
  bool twin = machine == kMachineAmd64 && magic == kMagicPe32Plus;
  if (twin && !acceptTwin) {
    *problem =
        "is a 64-bit (x86-64) program, the updater's test twin; patches carry the 32-bit "
        "updater (build/win32/updater.exe)";
    return false;
  }
  if (!twin && (machine != kMachineI386 || magic != kMagicPe32)) {
    char text[96];
    std::snprintf(text, sizeof text, "machine 0x%04X, optional header 0x%03X", machine, magic);
    *problem = std::string("is not a 32-bit i386 program (") + text + ")";
    return false;
  }
  uint32_t directoriesAt = magic == kMagicPe32 ? 96 : 112;
  uint32_t countAt = directoriesAt - 4;
  if (optionalSize < directoriesAt) {
    *problem = "is not a Windows program (its optional header is too short)";
    return false;
  }
  if ((characteristics & kExecutableImage) == 0 || (characteristics & kDll) != 0) {
    *problem = "is not a program (a DLL or an object file)";
    return false;
  }
  uint16_t subsystem = LoadLe16(optional + kSubsystemAt);
  if (subsystem != kSubsystemGui) {
    *problem = "is not a Windows GUI program (subsystem " + std::to_string(subsystem) +
               (subsystem == 3 ? ", the console" : "") + ")";
    return false;
  }

  if (sectionCount > kMaxSections) {
    *problem = "has " + std::to_string(sectionCount) + " sections, more than a program has";
    return false;
  }
  std::vector<Section> sections;
  uint32_t end = LoadLe32(optional + kSizeOfHeadersAt);
  uint32_t tableAt = optionalAt + optionalSize;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    uint8_t header[kSectionHeaderSize];
    if (!ReadAt(file, tableAt + i * kSectionHeaderSize, header, sizeof header)) {
      *problem = "is cut short (in its section table)";
      return false;
    }
    Section s = {LoadLe32(header + 12), LoadLe32(header + 8), LoadLe32(header + 20),
                 LoadLe32(header + 16)};
    sections.push_back(s);
    uint64_t sectionEnd = uint64_t{s.rawOffset} + s.rawSize;
    if (s.rawSize != 0 && sectionEnd > end) end = sectionEnd > 0xFFFFFFFFu ? 0xFFFFFFFFu
                                                                          : static_cast<uint32_t>(sectionEnd);
  }
  image->twin = twin;
  image->imageEnd = end;
  if (end > kPackageOffset) {
    *problem = "has an image that reaches byte " + std::to_string(end) +
               "; the updater must end below 65536, where the package begins";
    return false;
  }
  if (end > fileSize) {
    *problem = "is cut short: its image ends at byte " + std::to_string(end) +
               ", beyond the file's " + std::to_string(fileSize) + " bytes";
    return false;
  }
  uint32_t importRva = 0;
  if (LoadLe32(optional + countAt) > kImportDirectory) {
    importRva = LoadLe32(optional + directoriesAt + kImportDirectory * 8);
  }
  if (!CheckImports(file, sections, importRva, problem)) return false;
  image->isSigned = ReadPeSignature(file).status == kPeSigned;
  return true;
}

bool CheckUpdaterStub(const std::string& path, bool acceptTwin, UpdaterImage* image,
                      std::string* error) {
  *image = UpdaterImage();
  DiskFile file;
  if (!OpenInput(&file, path, "the stub", error)) return false;
  std::string problem;
  if (!CheckUpdaterImage(file, acceptTwin, image, &problem)) {
    *error = "the stub " + path + " " + problem + "; give the updater program";
    return false;
  }
  uint32_t size = file.GetSize();
  if (size >= kPackageOffset) {
    // An updater followed by a package: a patch given for its updater.
    PackDirectory directory;
    PackStatus status = ReadPackDirectory(file, &directory);
    if (status == kPackOk || (directory.count != 0 && status != kPackTooMany)) {
      *error = "the stub " + path + " is a patch, not the bare updater: an updater followed " +
               "by a package of " + std::to_string(directory.count) +
               (directory.count == 1 ? " entry" : " entries") +
               "; give the updater itself (build/win32/updater.exe)";
    } else {
      *error = "the stub " + path + " is " + std::to_string(size) +
               " bytes long, but the updater ends below 65536, where the package begins: it " +
               "is no bare updater; give build/win32/updater.exe";
    }
    return false;
  }
  // A signature covers the whole file: the package behind it would break
  // it, and its table would sit in the middle of the patch.
  if (image->isSigned) {
    *error = "the stub " + path + " is signed; pack the unsigned updater, then sign the " +
             "patch (patchtool sign)";
    return false;
  }
  return true;
}
