#include "publish/packages/pack_writer.h"

#include <cstring>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/content_sum.h"
#include "package/hash_list.h"
#include "package/le_bytes.h"
#include "package/pack_directory.h"
#include "publish/shared/game_files.h"
#include "fileio/toolkit/path_info.h"
#include "publish/shared/output_file.h"
#include "publish/packages/patch_limits.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/update_result_text.h"
#include "publish/packages/updater_image.h"
#include "publish/shared/windows_names.h"
#include "publish/shared/wording.h"

const char kGeneratedHashListName[] = "QEN.hvl";

namespace {

// Entries may be up to 2 GiB: their data passes through one buffer.
constexpr uint32_t kCopyPiece = 1u << 20;
constexpr char kSignature[kPackSignatureSize + 1] = "PackFile    ";

struct Input {
  std::string path;
  std::string name;  // stored
  uint32_t size = 0;
  bool isHashList = false;
};

bool CheckNames(const PackJob& job, std::vector<Input>* inputs, std::string* error) {
  for (size_t i = 0; i < job.files.size(); ++i) {
    Input input;
    input.path = job.files[i];
    const std::string& path = input.path;
    if (i < job.storedNames.size()) {
      input.name = job.storedNames[i];
    } else if (NameOf(path).empty()) {
      *error = path + " names no file";
      return false;
    } else if (!StoredPartOf(NameOf(path), &input.name, error)) {
      *error = path + ": " + *error;
      return false;
    }
    const std::string& name = input.name;
    std::string shown = ShownName(name);
    if (name.size() > kPackNameSize - 1) {
      *error = "the name " + shown + " (of " + path + ") is " + std::to_string(name.size()) +
               " bytes long in code page 932; entry names hold at most " +
               std::to_string(kPackNameSize - 1);
      return false;
    }
    std::string why;
    if (!CheckStoredNameText(name, &why)) {
      *error = path + ": " + why;
      return false;
    }
    if (FoldedNamesEqual(name.c_str(), kUninstallListName)) {
      *error = path + " is the game's uninstall list (" + kUninstallListName +
               "); packing it would replace the player's list and lose its lines: the "
               "updater adds the patch's names to it by itself";
      return false;
    }
    input.isHashList = FoldedNamesEqual(name.c_str(), kHashListName);
    if (input.isHashList && (job.buildHashList || !job.preparedList.empty())) {
      *error = path + " is a hash list already, and --hash-list would add a second one";
      return false;
    }
    for (const Input& earlier : *inputs) {
      if (input.isHashList && earlier.isHashList) {
        *error = earlier.path + " and " + path +
                 " are both hash lists (qen.hvl), and a package holds one";
        return false;
      }
    }
    inputs->push_back(input);
  }
  // The install folder's file system ignores letter case: a second entry
  // of a file would overwrite the first, and only the first hash-list
  // record of a name counts.
  std::vector<std::string> keys;
  for (const Input& input : *inputs) keys.push_back(StoredNameKey(input.name));
  std::vector<std::vector<std::string>> twins;
  for (const std::vector<size_t>& group : TwinGroups(keys)) {
    twins.emplace_back();
    for (size_t index : group) twins.back().push_back((*inputs)[index].path);
  }
  if (!twins.empty()) {
    *error = TwinsText("the FILEs include", twins,
                       "the update would write one over the other; pack one of each");
    return false;
  }
  return true;
}

// Packed files that the base list records under another spelling of one
// file on Windows take that spelling (RecordedSpelling), with a warning.
void TakeRecordedSpellings(const HashListBuilder& base, const std::string& basePath,
                           std::vector<Input>* inputs, std::vector<std::string>* warnings) {
  const std::map<std::string, std::string> recorded = RecordedFiles(base);
  for (Input& input : *inputs) {
    std::string spelling = RecordedSpelling(recorded, input.name);
    if (spelling == input.name) continue;
    warnings->push_back(input.path + " goes in as " + ShownName(spelling) + ", the spelling of " +
                        "its record in " + basePath + ": one file on Windows, letter case " +
                        "aside, which the update writes over and which keeps that spelling; " +
                        "the updater finds the record only under it");
    input.name = spelling;
  }
}

// The stored name of the generated list.
std::string GeneratedListName(const PackJob& job, std::string* error) {
  if (!job.hashListName.empty()) return job.hashListName;
  if (!job.hashListBase.empty()) {
    std::string name;
    if (StoredPartOf(NameOf(job.hashListBase), &name, error) &&
        FoldedNamesEqual(name.c_str(), kHashListName)) {
      return name;
    }
  }
  return kGeneratedHashListName;
}

// A packed hash list, against which the packed files are checked.
struct GivenList {
  const Input* input = nullptr;
  HashList list;
};

bool LoadGivenList(const std::vector<Input>& inputs, GivenList* given, std::string* error) {
  for (const Input& input : inputs) {
    if (!input.isHashList) continue;
    given->input = &input;
    DiskFile file;
    if (!OpenInput(&file, input.path, "", error)) return false;
    // The updater's own loader decides.
    HashListStatus status = LoadHashListFile(file, &given->list);
    if (status != kHashListLoaded && status != kHashListEmpty) {
      *error = input.path + " cannot be loaded as a hash list (" +
               HashListStatusText(status) + "); the update would verify nothing";
      return false;
    }
  }
  return true;
}

// The updater refuses a patch that carries no hash list, or files that its
// list does not name: nothing would be verified.
bool RequireHashList(const PackJob& job, const std::vector<Input>& inputs, const GivenList& given,
                     bool addsList, std::string* error) {
  if (job.buildHashList) return true;
  if (!addsList && given.input == nullptr) {
    *error = "the patch would carry no hash list, and the updater refuses such a patch (it "
             "could verify nothing): give --hash-list, or pack the game's qen.hvl with the "
             "FILEs";
    return false;
  }
  if (given.input == nullptr) return true;  // a prepared list, made to fit
  std::vector<std::string> unlisted;
  for (const Input& input : inputs) {
    if (!input.isHashList && FindHashRecord(given.list, input.name.c_str()) < 0) {
      unlisted.push_back(input.path);
    }
  }
  if (unlisted.empty()) return true;
  *error = given.input->path + " names no record for " + std::to_string(unlisted.size()) +
           (unlisted.size() == 1 ? " FILE" : " FILEs") +
           ", and the updater refuses a patch with a file its list does not name: give "
           "--hash-list --base " + given.input->path + " instead, or add their records:";
  for (const std::string& path : unlisted) *error += "\n  " + path;
  return false;
}

// Checks a packed file's sum against the packed list's first record of its
// name, as the update will.
bool CheckAgainstList(const GivenList& given, const Input& input, const ContentSum& sum,
                      bool force, std::vector<std::string>* warnings, std::string* error) {
  if (given.input == nullptr || input.isHashList) return true;
  int record = FindHashRecord(given.list, input.name.c_str());
  if (record < 0) return true;
  ContentSum listed = given.list.RecordSum(static_cast<uint32_t>(record));
  if (listed == sum) return true;
  std::string what = input.path + " differs from its record in " + given.input->path +
                     " (listed " + ContentSumHex(listed) + ", data " + ContentSumHex(sum) + ")";
  if (!force) {
    *error = what + "; the update would stop there with UPD_E_CHECKSUM: refresh the list "
                    "(patchtool hashlist --base), or pack anyway with --force";
    return false;
  }
  warnings->push_back(what + "; packed anyway (--force): the update will stop there with "
                             "UPD_E_CHECKSUM");
  return true;
}

struct Copier {
  OutputFile& out;
  HeapBlock& buffer;
  const ProgressSink* progress;
  uint64_t done = 0;
  uint64_t total = 0;

  void Advance(uint32_t n) {
    done += n;
    if (progress != nullptr) progress->Bytes(done, total);
  }

  bool Write(const void* data, uint32_t size, std::string* error) {
    if (!out.Write(data, size, error)) return false;
    Advance(size);
    return true;
  }

  // Copies exactly size bytes and makes sure the file ends there: DiskFile
  // sizes are 32 bits, so a file of 4 GiB or more would pass for a small one.
  bool CopyWhole(DiskFile& in, const std::string& path, uint32_t size, ContentSum* sum,
                 std::string* error) {
    for (uint32_t remaining = size; remaining != 0;) {
      uint32_t n = remaining < kCopyPiece ? remaining : kCopyPiece;
      if (in.Read(buffer.data(), n) != n) {
        *error = "cannot read " + path + " in full (did it change while packing?)";
        return false;
      }
      if (sum != nullptr) UpdateContentSum(sum, buffer.data(), n);
      if (!Write(buffer.data(), n, error)) return false;
      remaining -= n;
    }
    uint8_t extra;
    if (in.Read(&extra, 1) != 0) {
      *error = path + " is longer than its size says (4 GiB or more?) or grew while packing";
      return false;
    }
    return true;
  }
};

// Why entry index would start beyond the updater's reach: the format's
// limit, and the files before it that push it there.
std::string PositionLimitText(const std::vector<Input>& inputs, size_t index, uint64_t dataBase,
                              uint64_t before) {
  std::string what = index == inputs.size() ? std::string("the hash list") : inputs[index].path;
  size_t largest = 0;
  for (size_t i = 1; i < index; ++i) {
    if (inputs[i].size > inputs[largest].size) largest = i;
  }
  return what + " would start at byte " + std::to_string(dataBase + before) + ", beyond 2 GiB (byte " +
         std::to_string(kPackPositionLimit) + "), the furthest the updater seeks in a " +
         "package (the format's limit): the " + CountText(index, "file", "files") +
         " before it hold " + SizeText(before) +
         (index > 1 ? ", the largest " + inputs[largest].path + " with " +
                          SizeText(inputs[largest].size)
                    : "") +
         "; put fewer or smaller files into one patch";
}

}  // namespace

bool WritePackage(const PackJob& job, PackOutcome* outcome, std::string* error) {
  OutputFile out(job.output, OutputKind::kProgram);
  out.CompletesTheWork();
  if (!WritePackageTo(job, out, outcome, error)) return false;
  if (!out.Commit(error)) {
    outcome->entries.clear();
    return false;
  }
  return true;
}

bool WritePackageTo(const PackJob& job, OutputFile& out, PackOutcome* outcome,
                    std::string* error) {
  *outcome = PackOutcome();
  std::vector<PackedEntry>& entries = outcome->entries;
  const bool prepared = !job.preparedList.empty();
  const bool addsList = job.buildHashList || prepared;
  if (prepared && job.preparedList.size() < kHashListHeaderSize) {
    *error = "the hash list to pack is cut short (" + std::to_string(job.preparedList.size()) +
             " bytes)";
    return false;
  }
  uint64_t count = job.files.size() + (addsList ? 1 : 0);
  if (count > kMaxPackEntries) {
    *error = "a package holds at most " + std::to_string(kMaxPackEntries) + " entries (" +
             std::to_string(kMaxPackEntries - 1) + " files and the hash list), not " +
             std::to_string(count) + ": spread the files over several patches";
    return false;
  }
  std::vector<Input> inputs;
  if (!CheckNames(job, &inputs, error)) return false;
  std::string listName;
  if (addsList) {
    listName = prepared ? job.hashListName : GeneratedListName(job, error);
    if (listName.empty()) listName = kGeneratedHashListName;
    for (const Input& input : inputs) {
      if (SameStoredFile(input.name, listName)) {
        *error = input.path + " would have the name of the generated hash list";
        return false;
      }
    }
  }

  std::vector<NamedInput> named = {{"the stub", job.stub}};
  if (job.buildHashList) named.push_back({"the base list", job.hashListBase});
  for (const std::string& file : job.files) named.push_back({"the FILE", file});
  if (!CheckOutputPath(job.output, named, error)) return false;

  UpdaterImage image;
  if (!CheckUpdaterStub(job.stub, job.acceptTwinStub, &image, error)) return false;
  DiskFile stub;
  if (!OpenInput(&stub, job.stub, "the stub", error)) return false;
  uint32_t stubSize = stub.GetSize();

  HashListBuilder hashList;
  if (job.buildHashList && !job.hashListBase.empty()) {
    if (!hashList.LoadBase(job.hashListBase, error)) return false;
    TakeRecordedSpellings(hashList, job.hashListBase, &inputs, &outcome->warnings);
  }
  GivenList given;
  if (!LoadGivenList(inputs, &given, error)) return false;

  DiskFile files[kMaxPackEntries];
  for (size_t i = 0; i < inputs.size(); ++i) {
    // DiskFile sizes are 32 bits: a file of 4 GiB or more would pass for
    // a small one, so its real size is asked first.
    PathInfo info;
    if (GetPathInfo(inputs[i].path, &info) && info.size > 0xFFFFFFFFu) {
      *error = inputs[i].path + " " + FileSizeProblem(info.size);
      return false;
    }
    if (!OpenInput(&files[i], inputs[i].path, "", error)) return false;
    inputs[i].size = files[i].GetSize();
    if (inputs[i].size == kSizeUnknown) {
      *error = "the size of " + inputs[i].path + " cannot be read, or it is 4 GiB or more";
      return false;
    }
  }

  // The layout: every entry must start where the updater can seek, and the
  // whole file must stay within the 32-bit sizes it reads. The generated
  // list's size is known ahead: one record per packed file at most.
  const uint32_t dataBase = static_cast<uint32_t>(PackDataBase(count));
  HashListBuilder::Change unused;
  HashListBuilder sized = hashList;
  for (const Input& input : inputs) {
    if (job.buildHashList) sized.SetSum(input.name, ContentSum(), &unused, error);
  }
  uint64_t offset = 0;
  for (size_t i = 0; i <= inputs.size(); ++i) {
    bool isList = i == inputs.size();
    if (isList && !addsList) break;
    PackedEntry entry;
    entry.name = isList ? listName : inputs[i].name;
    entry.size = !isList  ? inputs[i].size
                 : prepared ? static_cast<uint32_t>(job.preparedList.size())
                            : static_cast<uint32_t>(HashListBytes(sized.count()));
    entry.offset = static_cast<uint32_t>(offset);
    if (dataBase + offset >= kPackPositionLimit) {
      *error = PositionLimitText(inputs, i, dataBase, offset);
      entries.clear();
      return false;
    }
    entries.push_back(entry);
    offset += entry.size;
  }
  if (dataBase + offset > 0xFFFFFFFFu) {
    *error = "the package would end at byte " + std::to_string(dataBase + offset) +
             ", beyond 4 GiB, which the updater cannot measure (its file sizes are 32 bits, "
             "the format's limit): put fewer or smaller files into one patch";
    entries.clear();
    return false;
  }

  if (!RequireHashList(job, inputs, given, addsList, error)) {
    entries.clear();
    return false;
  }

  HeapBlock buffer(kCopyPiece);
  if (!buffer.ok()) {
    *error = "out of memory";
    entries.clear();
    return false;
  }

  uint8_t header[kPackHeaderSize] = {};
  std::memcpy(header, kSignature, kPackSignatureSize);
  StoreLe32(header + kPackSignatureSize, static_cast<uint32_t>(count));
  std::vector<uint8_t> directory(entries.size() * kPackEntrySize, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* record = &directory[i * kPackEntrySize];
    const PackedEntry& entry = entries[i];
    std::memcpy(record, entry.name.data(), entry.name.size());
    StoreLe32(record + 16, entry.offset);
    StoreLe32(record + 20, entry.size);
  }

  Copier copier{out, buffer, job.progress};
  copier.total = uint64_t{dataBase} + offset;
  if (job.progress != nullptr) job.progress->Stage("writing " + job.output);
  bool ok = out.Open(error) && copier.CopyWhole(stub, job.stub, stubSize, nullptr, error);
  if (ok && !out.WriteZeros(kPackageOffset - stubSize, error)) ok = false;
  if (ok) copier.Advance(kPackageOffset - stubSize);
  ok = ok && copier.Write(header, kPackHeaderSize, error) &&
       copier.Write(directory.data(), static_cast<uint32_t>(directory.size()), error);
  for (size_t i = 0; ok && i < inputs.size(); ++i) {
    ContentSum sum;
    ok = copier.CopyWhole(files[i], inputs[i].path, inputs[i].size, &sum, error) &&
         CheckAgainstList(given, inputs[i], sum, job.force, &outcome->warnings, error);
    if (ok && job.buildHashList) {
      ok = hashList.SetSum(inputs[i].name, sum, &entries[i].listChange, error);
    }
  }
  if (ok && addsList) {
    // In the one order of the toolkit's lists, that of a release's walk.
    if (!prepared) hashList.SortCanonically();
    outcome->listBytes = prepared ? job.preparedList : hashList.Bytes();
    outcome->listRecords = prepared ? LoadLe32(job.preparedList.data() + 12) : hashList.count();
    const std::vector<uint8_t>& bytes = outcome->listBytes;
    ok = bytes.size() == entries.back().size &&
         copier.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), error);
  }
  // The inputs are let go before the output takes its place.
  stub.Close();
  for (DiskFile& file : files) file.Close();
  out.CloseTemp();
  if (ok && job.verify) {
    if (job.progress != nullptr) job.progress->Stage("verifying " + job.output);
    CheckPackage(out.TempPath(), &outcome->check, job.progress);
    PackageVerdict verdict = JudgePackage(outcome->check, job.acceptTwinStub);
    if (verdict != kPackagePasses) {
      *error = job.output + " fails its check: " + PackageVerdictText(verdict);
      if (verdict == kPackageRefused) *error += ": " + JudgementText(outcome->check);
      ok = false;
    }
  }
  if (!ok) entries.clear();
  return ok;
}

bool NameAsksForElevation(const std::string& path) {
  std::string name = NameOf(path);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* word : {"setup", "install", "update", "patch"}) {
    if (name.find(word) != std::string::npos) return true;
  }
  return false;
}
