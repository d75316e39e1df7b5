#include "publish/pack_writer.h"

#include <cstring>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/content_sum.h"
#include "package/hash_list.h"
#include "publish/hash_list_writer.h"
#include "package/le_bytes.h"
#include "publish/output_file.h"
#include "package/pack_directory.h"
#include "publish/pe_signature.h"

const char kGeneratedHashListName[] = "QEN.hvl";

namespace {

// Entries may be up to 2 GiB: their data passes through one buffer.
constexpr uint32_t kCopyPiece = 1u << 20;
constexpr char kSignature[kPackSignatureSize + 1] = "PackFile    ";

struct Input {
  std::string path;
  std::string name;
  uint32_t size = 0;
};

bool CheckNames(const PackJob& job, std::vector<Input>* inputs, std::string* error) {
  for (const std::string& path : job.files) {
    Input input;
    input.path = path;
    input.name = BaseName(path);
    const std::string& name = input.name;
    if (name.empty()) {
      *error = path + " names no file";
      return false;
    }
    if (name.size() > kPackNameSize - 1) {
      *error = "the name " + name + " is " + std::to_string(name.size()) +
               " bytes long; entry names hold at most " + std::to_string(kPackNameSize - 1);
      return false;
    }
    if (!IsSafeEntryName(name.c_str())) {
      *error = "the name " + name + " is not allowed in a package (colon or parent step)";
      return false;
    }
    bool isHashList = FoldedNamesEqual(name.c_str(), kHashListName);
    if (isHashList && job.buildHashList) {
      *error = path + " is a hash list already, and --hash-list would add a second one";
      return false;
    }
    // The install folder's file system ignores letter case: a second entry
    // of a name would overwrite the first, and only the first hash-list
    // record of a name counts.
    for (const Input& earlier : *inputs) {
      if (FoldedNamesEqual(earlier.name.c_str(), name.c_str())) {
        *error = isHashList ? earlier.path + " and " + path +
                                  " are both hash lists (qen.hvl), and a package holds one"
                            : earlier.path + " and " + path +
                                  " would have the same entry name (letter case does not count)";
        return false;
      }
    }
    inputs->push_back(input);
  }
  return true;
}

// Copies exactly size bytes and makes sure the file ends there: DiskFile
// sizes are 32 bits, so a file of 4 GiB or more would pass for a small one.
bool CopyWhole(DiskFile& in, const std::string& path, uint32_t size, OutputFile& out,
               HeapBlock& buffer, ContentSum* sum, std::string* error) {
  for (uint32_t remaining = size; remaining != 0;) {
    uint32_t n = remaining < kCopyPiece ? remaining : kCopyPiece;
    if (in.Read(buffer.data(), n) != n) {
      *error = "cannot read " + path + " in full (did it change?)";
      return false;
    }
    if (sum != nullptr) UpdateContentSum(sum, buffer.data(), n);
    if (!out.Write(buffer.data(), n, error)) return false;
    remaining -= n;
  }
  uint8_t extra;
  if (in.Read(&extra, 1) != 0) {
    *error = path + " is longer than its size says (4 GiB or more?) or grew while packing";
    return false;
  }
  return true;
}

}  // namespace

bool WritePackage(const PackJob& job, std::vector<PackedEntry>* entries, std::string* error) {
  entries->clear();
  uint64_t count = job.files.size() + (job.buildHashList ? 1 : 0);
  if (count > kMaxPackEntries) {
    *error = "a package holds at most " + std::to_string(kMaxPackEntries) + " entries, not " +
             std::to_string(count);
    return false;
  }
  std::vector<Input> inputs;
  if (!CheckNames(job, &inputs, error)) return false;

  DiskFile stub;
  if (!stub.OpenRead(job.stub.c_str())) {
    *error = "cannot open the stub " + job.stub;
    return false;
  }
  uint32_t stubSize = stub.GetSize();
  if (stubSize > kPackageOffset) {
    *error = "the stub " + job.stub + " is " + std::to_string(stubSize) + " bytes long; at most " +
             std::to_string(kPackageOffset) + " fit before the package";
    return false;
  }
  // A signature covers the whole file: the package behind it would break
  // it, and its table would sit in the middle of the patch.
  if (ReadPeSignature(stub).status == kPeSigned) {
    *error = "the stub " + job.stub + " is signed; pack the unsigned updater, then sign the " +
             "patch (patchtool sign)";
    return false;
  }
  if (!stub.Seek(0)) {
    *error = "cannot read the stub " + job.stub;
    return false;
  }

  DiskFile files[kMaxPackEntries];
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!files[i].OpenRead(inputs[i].path.c_str())) {
      *error = "cannot open " + inputs[i].path;
      return false;
    }
    inputs[i].size = files[i].GetSize();
    if (inputs[i].size == kSizeUnknown) {
      *error = "the size of " + inputs[i].path + " cannot be read, or it is 4 GiB or more";
      return false;
    }
  }

  // The layout: every entry must start where the updater can seek, and the
  // whole file must stay within the 32-bit sizes it reads.
  const uint32_t dataBase = kPackageOffset + kPackHeaderSize +
                            static_cast<uint32_t>(count) * kPackEntrySize;
  uint64_t offset = 0;
  for (const Input& input : inputs) {
    PackedEntry entry;
    entry.name = input.name;
    entry.size = input.size;
    entry.offset = static_cast<uint32_t>(offset);
    entries->push_back(entry);
    if (dataBase + offset >= kPackPositionLimit) {
      *error = input.path + " would start at byte " + std::to_string(dataBase + offset) +
               ", beyond the 2 GiB that the updater can reach";
      entries->clear();
      return false;
    }
    offset += input.size;
  }
  if (job.buildHashList) {
    PackedEntry entry;
    entry.name = kGeneratedHashListName;
    entry.size = static_cast<uint32_t>(HashListBytes(inputs.size()));
    entry.offset = static_cast<uint32_t>(offset);
    entries->push_back(entry);
    if (dataBase + offset >= kPackPositionLimit) {
      *error = std::string("the hash list would start at byte ") +
               std::to_string(dataBase + offset) + ", beyond the 2 GiB that the updater can reach";
      entries->clear();
      return false;
    }
    offset += entry.size;
  }
  if (dataBase + offset > 0xFFFFFFFFu) {
    *error = "the package would end beyond 4 GiB, which the updater cannot measure";
    entries->clear();
    return false;
  }

  HeapBlock buffer(kCopyPiece);
  if (!buffer.ok()) {
    *error = "out of memory";
    entries->clear();
    return false;
  }

  uint8_t header[kPackHeaderSize] = {};
  std::memcpy(header, kSignature, kPackSignatureSize);
  StoreLe32(header + kPackSignatureSize, static_cast<uint32_t>(count));
  std::vector<uint8_t> directory(entries->size() * kPackEntrySize, 0);
  for (size_t i = 0; i < entries->size(); ++i) {
    uint8_t* record = &directory[i * kPackEntrySize];
    const PackedEntry& entry = (*entries)[i];
    std::memcpy(record, entry.name.data(), entry.name.size());
    StoreLe32(record + 16, entry.offset);
    StoreLe32(record + 20, entry.size);
  }

  OutputFile out(job.output);
  bool ok = out.Open(error) &&
            CopyWhole(stub, job.stub, stubSize, out, buffer, nullptr, error) &&
            out.WriteZeros(kPackageOffset - stubSize, error) &&
            out.Write(header, kPackHeaderSize, error) &&
            out.Write(directory.data(), static_cast<uint32_t>(directory.size()), error);
  HashListBuilder hashList;
  for (size_t i = 0; ok && i < inputs.size(); ++i) {
    ContentSum sum;
    HashListBuilder::Change change;
    ok = CopyWhole(files[i], inputs[i].path, inputs[i].size, out, buffer, &sum, error) &&
         hashList.SetSum(inputs[i].name, sum, &change, error);
  }
  if (ok && job.buildHashList) {
    std::vector<uint8_t> bytes = hashList.Bytes();
    ok = out.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), error);
  }
  // An input may be the output itself; the files are let go before it is
  // replaced.
  stub.Close();
  for (DiskFile& file : files) file.Close();
  if (!ok || !out.Commit(error)) {
    entries->clear();
    return false;
  }
  return true;
}

bool NameAsksForElevation(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* word : {"setup", "install", "update", "patch"}) {
    if (name.find(word) != std::string::npos) return true;
  }
  return false;
}
