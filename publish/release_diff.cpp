#include "publish/release_diff.h"

#include <cstring>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/hash_list.h"
#include "publish/game_files.h"
#include "publish/output_file.h"
#include "publish/stored_name.h"

namespace {

// Small enough that both pieces stay in the processor's cache between the
// comparison and the sum.
constexpr uint32_t kComparePiece = 256u << 10;

ReleaseChange ChangeOf(const std::string& key, const ReleaseFile& file, bool isNew) {
  ReleaseChange change;
  change.key = key;
  change.isNew = isNew;
  change.file = file;
  change.storedName = file.storedName;
  return change;
}

// Reads a file's size bytes piece by piece; both files of a pair go through
// one of these side by side.
class PieceReader {
 public:
  PieceReader(ReleaseFile* file, HeapBlock* buffer)
      : file_(file), buffer_(buffer), left_(file->size) {}

  bool Open(std::string* error) { return OpenInput(&disk_, file_->path, "", error); }
  uint64_t left() const { return left_; }
  const uint8_t* data() const { return buffer_->data(); }

  // The next piece of at most n bytes; false with *error when the file
  // ends early.
  bool Next(uint32_t n, std::string* error) {
    if (disk_.Read(buffer_->data(), n) != n) {
      *error = "cannot read " + file_->path + " in full (did it change while make read it?)";
      return false;
    }
    left_ -= n;
    return true;
  }

  // After the last piece: the file must end where its size said.
  bool AtEnd(std::string* error) {
    uint8_t extra;
    if (disk_.Read(&extra, 1) != 0) {
      *error = file_->path + " grew while make read it: run make again once it is written";
      return false;
    }
    disk_.Close();
    return true;
  }

 private:
  ReleaseFile* file_;
  HeapBlock* buffer_;
  DiskFile disk_;
  uint64_t left_;
};

uint32_t PieceOf(uint64_t left) {
  return left < kComparePiece ? static_cast<uint32_t>(left) : kComparePiece;
}

struct Summer {
  HeapBlock bufferA{kComparePiece};
  HeapBlock bufferB{kComparePiece};
  ByteCounter counter;

  bool SumOne(ReleaseFile* file, std::string* error) {
    PieceReader reader(file, &bufferA);
    if (!reader.Open(error)) return false;
    file->sum = ContentSum();
    while (reader.left() != 0) {
      uint32_t n = PieceOf(reader.left());
      if (!reader.Next(n, error)) return false;
      UpdateContentSum(&file->sum, reader.data(), n);
      counter.Advance(n);
    }
    file->summed = true;
    return reader.AtEnd(error);
  }

  // Sums both files of a path and tells whether they hold the same bytes.
  // While their pieces agree one sum serves both; from the first difference
  // on each gets its own.
  bool SumPair(ReleaseFile* a, ReleaseFile* b, bool* same, std::string* error) {
    if (a->size != b->size) {
      *same = false;
      return SumOne(a, error) && SumOne(b, error);
    }
    PieceReader readerA(a, &bufferA), readerB(b, &bufferB);
    if (!readerA.Open(error) || !readerB.Open(error)) return false;
    ContentSum shared, sumA, sumB;
    *same = true;
    while (readerA.left() != 0) {
      uint32_t n = PieceOf(readerA.left());
      if (!readerA.Next(n, error) || !readerB.Next(n, error)) return false;
      if (*same && std::memcmp(readerA.data(), readerB.data(), n) == 0) {
        UpdateContentSum(&shared, readerA.data(), n);
      } else {
        if (*same) sumA = sumB = shared;
        *same = false;
        UpdateContentSum(&sumA, readerA.data(), n);
        UpdateContentSum(&sumB, readerB.data(), n);
      }
      counter.Advance(2 * uint64_t{n});
    }
    a->sum = *same ? shared : sumA;
    b->sum = *same ? shared : sumB;
    a->summed = b->summed = true;
    return readerA.AtEnd(error) && readerB.AtEnd(error);
  }
};

}  // namespace

bool ReadReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  std::string* error) {
  *diff = ReleaseDiff();
  if (!ReadReleaseTree(oldDir, &diff->oldTree, error) ||
      !ReadReleaseTree(newDir, &diff->newTree, error)) {
    return false;
  }
  for (const ReleaseTree* tree : {&diff->oldTree, &diff->newTree}) {
    for (const auto& item : tree->files) diff->files.push_back(item.second.path);
    diff->folders.insert(diff->folders.end(), tree->folders.begin(), tree->folders.end());
  }

  // The game's own lists in the top folders.
  auto oldList = diff->oldTree.files.find(kHashListName);
  if (oldList != diff->oldTree.files.end()) {
    diff->oldList = oldList->second.path;
    if (!StoredPartOf(oldList->second.relative, &diff->oldListName, error)) return false;
  }
  auto newList = diff->newTree.files.find(kHashListName);
  if (newList != diff->newTree.files.end()) diff->newList = newList->second.path;
  auto newUninstall = diff->newTree.files.find(kUninstallListName);
  if (newUninstall != diff->newTree.files.end()) {
    diff->newUninstallList = newUninstall->second.path;
  }
  return true;
}

std::vector<ReleaseChange> ChangesBySize(const ReleaseDiff& diff) {
  std::vector<ReleaseChange> changes;
  for (const auto& item : diff.newTree.files) {
    if (IsGameListKey(item.first)) continue;
    auto old = diff.oldTree.files.find(item.first);
    if (old == diff.oldTree.files.end() || old->second.size != item.second.size) {
      changes.push_back(ChangeOf(item.first, item.second, old == diff.oldTree.files.end()));
    }
  }
  return changes;
}

bool CompareReleases(ReleaseDiff* diff, const ProgressSink* progress, std::string* error) {
  diff->changes.clear();
  diff->removed.clear();
  std::map<std::string, ReleaseFile>& oldFiles = diff->oldTree.files;
  std::map<std::string, ReleaseFile>& newFiles = diff->newTree.files;
  Summer summer;
  summer.counter.sink = progress;
  if (!summer.bufferA.ok() || !summer.bufferB.ok()) {
    *error = "out of memory";
    return false;
  }
  for (const std::map<std::string, ReleaseFile>* files : {&oldFiles, &newFiles}) {
    for (const auto& item : *files) {
      if (!IsGameListKey(item.first)) summer.counter.total += item.second.size;
    }
  }
  if (progress != nullptr) {
    progress->Stage("comparing " + diff->oldTree.root + " and " + diff->newTree.root);
  }
  // In the order of the folded paths, the same on every system.
  for (auto& item : newFiles) {
    if (IsGameListKey(item.first)) continue;
    ReleaseFile& file = item.second;
    auto old = oldFiles.find(item.first);
    bool same = false;
    if (old == oldFiles.end() ? !summer.SumOne(&file, error)
                              : !summer.SumPair(&old->second, &file, &same, error)) {
      return false;
    }
    if (!same) diff->changes.push_back(ChangeOf(item.first, file, old == oldFiles.end()));
  }
  // OLD's files that NEW lacks stay with the players; their sums serve the
  // check of OLD's list.
  for (auto& item : oldFiles) {
    if (IsGameListKey(item.first) || newFiles.count(item.first) != 0) continue;
    if (!summer.SumOne(&item.second, error)) return false;
    diff->removed.push_back(item.second.relative);
  }
  return true;
}

bool DiffReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  const ProgressSink* progress, std::string* error) {
  return ReadReleases(oldDir, newDir, diff, error) && CompareReleases(diff, progress, error);
}
