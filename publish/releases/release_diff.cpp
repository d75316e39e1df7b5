#include "publish/releases/release_diff.h"

#include <cstring>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/hash_list.h"
#include "publish/shared/game_files.h"
#include "publish/shared/output_file.h"
#include "publish/packages/patch_limits.h"
#include "publish/packages/stored_name.h"
#include "publish/releases/sum_worker.h"

namespace {

// Files are read in pieces of this size, and compared in blocks.
constexpr uint32_t kComparePiece = 1u << 20;
constexpr uint32_t kCompareBlock = 64u << 10;
// Pieces in flight: read and compared here while the worker sums others.
constexpr size_t kSlots = 8;

uint32_t PieceOf(uint64_t left) {
  return left < kComparePiece ? static_cast<uint32_t>(left) : kComparePiece;
}

// Reads a file's size bytes piece by piece; both files of a pair go
// through one of these side by side.
class PieceReader {
 public:
  explicit PieceReader(ReleaseFile* file) : file_(file), left_(file->size) {}

  bool Open(std::string* error) { return OpenInput(&disk_, file_->path, "", error); }
  uint64_t left() const { return left_; }

  // The next n bytes into buffer; false with *error when the file ends
  // early.
  bool Next(uint8_t* buffer, uint32_t n, std::string* error) {
    if (disk_.Read(buffer, n) != n) {
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
  DiskFile disk_;
  uint64_t left_;
};

// Reads, compares and sums. Sums go to the worker, which keeps them in
// the files' own fields; they may be read once WaitAll has returned.
class Summer {
 public:
  explicit Summer(const ProgressSink* progress) { counter_.sink = progress; }

  bool ok() const {
    for (const Slot& slot : slots_) {
      if (!slot.a.ok() || !slot.b.ok()) return false;
    }
    return true;
  }
  void AddTotal(uint64_t bytes) { counter_.total += bytes; }
  void WaitAll() { worker_.WaitAll(); }

  bool SumOne(ReleaseFile* file, std::string* error) {
    PieceReader reader(file);
    if (!reader.Open(error)) return false;
    file->sum = ContentSum();
    while (reader.left() != 0) {
      uint32_t n = PieceOf(reader.left());
      Slot& slot = NextSlot();
      if (!reader.Next(slot.a.data(), n, error)) return false;
      slot.ticket = worker_.Sum(&file->sum, slot.a.data(), n);
      counter_.Advance(n);
    }
    file->summed = true;
    return reader.AtEnd(error);
  }

  // Sums both files of a path and tells whether they hold the same bytes.
  // While their blocks agree, a's sum serves both; from the first
  // difference on each gets its own.
  bool SumPair(ReleaseFile* a, ReleaseFile* b, bool* same, std::string* error) {
    if (a->size != b->size) {
      *same = false;
      return SumOne(a, error) && SumOne(b, error);
    }
    PieceReader readerA(a), readerB(b);
    if (!readerA.Open(error) || !readerB.Open(error)) return false;
    a->sum = b->sum = ContentSum();
    *same = true;
    while (readerA.left() != 0) {
      uint32_t n = PieceOf(readerA.left());
      Slot& slot = NextSlot();
      if (!readerA.Next(slot.a.data(), n, error) || !readerB.Next(slot.b.data(), n, error)) {
        return false;
      }
      // A piece that agrees throughout is summed in one job.
      uint32_t agree = 0;
      while (*same && agree < n) {
        uint32_t length = n - agree < kCompareBlock ? n - agree : kCompareBlock;
        if (std::memcmp(slot.a.data() + agree, slot.b.data() + agree, length) != 0) break;
        agree += length;
      }
      if (*same && agree != 0) slot.ticket = worker_.Sum(&a->sum, slot.a.data(), agree);
      if (agree < n) {
        if (*same) worker_.Copy(&b->sum, &a->sum);
        *same = false;
        worker_.Sum(&a->sum, slot.a.data() + agree, n - agree);
        slot.ticket = worker_.Sum(&b->sum, slot.b.data() + agree, n - agree);
      }
      counter_.Advance(2 * uint64_t{n});
    }
    if (*same) worker_.Copy(&b->sum, &a->sum);
    a->summed = b->summed = true;
    return readerA.AtEnd(error) && readerB.AtEnd(error);
  }

 private:
  struct Slot {
    HeapBlock a{kComparePiece};
    HeapBlock b{kComparePiece};
    uint64_t ticket = 0;  // the last job that reads it
  };

  // A slot whose data the worker is done with.
  Slot& NextSlot() {
    Slot& slot = slots_[next_];
    next_ = (next_ + 1) % kSlots;
    worker_.WaitFor(slot.ticket);
    return slot;
  }

  ByteCounter counter_;
  Slot slots_[kSlots];
  size_t next_ = 0;
  // Last, so that it is gone, its jobs done, before the slots are.
  SumWorker worker_;
};

}  // namespace

ReleaseChange ChangeOf(const std::string& key, const ReleaseFile& file, bool isNew) {
  ReleaseChange change;
  change.key = key;
  change.isNew = isNew;
  change.file = file;
  change.storedName = file.storedName;
  return change;
}

bool ReadReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  std::string* error, const ReleaseTreeRules& rules) {
  *diff = ReleaseDiff();
  if (!ReadReleaseTree(oldDir, &diff->oldTree, error, rules) ||
      !ReadReleaseTree(newDir, &diff->newTree, error, rules)) {
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

bool CompareReleases(ReleaseDiff* diff, const ProgressSink* progress, std::string* error) {
  diff->changes.clear();
  diff->removed.clear();
  std::map<std::string, ReleaseFile>& oldFiles = diff->oldTree.files;
  std::map<std::string, ReleaseFile>& newFiles = diff->newTree.files;
  Summer summer(progress);
  if (!summer.ok()) {
    *error = "out of memory";
    return false;
  }
  // A file too large for any patch that changed by its size alone is
  // refused whatever it holds; gigabytes are not read to say so.
  auto tooLargeChange = [&oldFiles](const std::string& key, const ReleaseFile& file) {
    if (FileSizeProblem(file.size).empty()) return false;
    auto old = oldFiles.find(key);
    return old == oldFiles.end() || old->second.size != file.size;
  };
  for (const std::map<std::string, ReleaseFile>* files : {&oldFiles, &newFiles}) {
    for (const auto& item : *files) {
      if (IsGameListKey(item.first)) continue;
      if (files == &newFiles && tooLargeChange(item.first, item.second)) continue;
      summer.AddTotal(item.second.size);
    }
  }
  if (progress != nullptr) {
    progress->Stage("comparing " + diff->oldTree.root + " and " + diff->newTree.root);
  }
  // In the order of the folded paths, the same on every system.
  std::vector<std::pair<std::string, bool>> changed;  // key, and whether new
  for (auto& item : newFiles) {
    if (IsGameListKey(item.first)) continue;
    ReleaseFile& file = item.second;
    auto old = oldFiles.find(item.first);
    if (tooLargeChange(item.first, file)) {
      // OLD's file still counts for the check of OLD's list.
      if (old != oldFiles.end() && !summer.SumOne(&old->second, error)) return false;
      changed.emplace_back(item.first, old == oldFiles.end());
      continue;
    }
    bool same = false;
    if (old == oldFiles.end() ? !summer.SumOne(&file, error)
                              : !summer.SumPair(&old->second, &file, &same, error)) {
      return false;
    }
    if (!same) changed.emplace_back(item.first, old == oldFiles.end());
  }
  // OLD's files that NEW lacks stay with the players; their sums serve the
  // check of OLD's list.
  for (auto& item : oldFiles) {
    if (IsGameListKey(item.first) || newFiles.count(item.first) != 0) continue;
    if (!summer.SumOne(&item.second, error)) return false;
    diff->removed.push_back(item.second.relative);
  }
  // The changes carry copies of their files, sums included.
  summer.WaitAll();
  for (const auto& change : changed) {
    diff->changes.push_back(ChangeOf(change.first, newFiles[change.first], change.second));
  }
  return true;
}

bool DiffReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  const ProgressSink* progress, std::string* error) {
  return ReadReleases(oldDir, newDir, diff, error) && CompareReleases(diff, progress, error);
}
