#include "publish/releases/release_diff.h"

#include <algorithm>
#include <cstring>
#include <memory>

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
// Pieces in flight: read and compared here while the worker sums others;
// a group of many files (NEW's and several OLDs') uses fewer slots, so
// that the buffers stay within kSlotBlocks pieces.
constexpr size_t kSlots = 8;
constexpr size_t kSlotBlocks = 16;

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
// Which file it is, where its folder's listing did not tell.
void LearnWhichFile(ReleaseFile* file) {
  PathInfo info;
  if (file->index != 0 || !GetPathInfo(file->path, &info)) return;
  file->volume = info.volume;
  file->index = info.index;
}

class Summer {
 public:
  explicit Summer(const ProgressSink* progress) { counter_.sink = progress; }

  void AddTotal(uint64_t bytes) { counter_.total += bytes; }
  void WaitAll() { worker_.WaitAll(); }

  bool SumOne(ReleaseFile* file, std::string* error) {
    std::vector<bool> same;
    return SumGroup(file, {}, &same, error);
  }

  // Reads main and each of others once, side by side, and sums them;
  // (*same)[i] tells whether others[i] holds main's bytes. While a file's
  // blocks agree with main's, main's sum serves both; from its first
  // difference on it gets its own. Files of another size than main's are
  // summed on their own.
  bool SumGroup(ReleaseFile* main, const std::vector<ReleaseFile*>& others,
                std::vector<bool>* same, std::string* error) {
    same->assign(others.size(), false);
    // Release folders often share their unchanged files (hard links): a
    // file that is one with main, or with another of others, is read once.
    // Which file each is, the folders' listings told; where they could not
    // (Windows), it is asked where several OLDs meet, so that one OLD costs
    // no more.
    if (others.size() >= 2) {
      for (ReleaseFile* file : others) LearnWhichFile(file);
      LearnWhichFile(main);
    }
    std::vector<int> oneWith(others.size(), -2);  // -1: main; i: others[i]; -2: none
    auto oneFile = [](const ReleaseFile* a, const ReleaseFile* b) {
      return a->index != 0 && a->index == b->index && a->volume == b->volume;
    };
    for (size_t i = 0; i < others.size(); ++i) {
      if (oneFile(others[i], main)) {
        oneWith[i] = -1;
        continue;
      }
      for (size_t j = 0; j < i && oneWith[i] == -2; ++j) {
        if (oneWith[j] == -2 && oneFile(others[i], others[j])) oneWith[i] = static_cast<int>(j);
      }
    }
    std::vector<ReleaseFile*> alike;  // others of main's size
    std::vector<size_t> alikeAt;
    for (size_t i = 0; i < others.size(); ++i) {
      if (oneWith[i] != -2) continue;
      if (others[i]->size == main->size) {
        alike.push_back(others[i]);
        alikeAt.push_back(i);
      } else if (!SumOne(others[i], error)) {
        return false;
      }
    }
    std::vector<std::unique_ptr<PieceReader>> readers;
    readers.emplace_back(new PieceReader(main));
    for (ReleaseFile* file : alike) readers.emplace_back(new PieceReader(file));
    for (auto& reader : readers) {
      if (!reader->Open(error)) return false;
    }
    main->sum = ContentSum();
    // Where each alike file is: still agreeing with main, or on its own.
    std::vector<bool> agrees(alike.size(), true);
    for (ReleaseFile* file : alike) file->sum = ContentSum();
    while (readers[0]->left() != 0) {
      uint32_t n = PieceOf(readers[0]->left());
      Slot* slotFound = NextSlot(readers.size());
      if (slotFound == nullptr) {
        *error = "out of memory";
        return false;
      }
      Slot& slot = *slotFound;
      for (size_t r = 0; r < readers.size(); ++r) {
        if (!readers[r]->Next(slot.blocks[r].data(), n, error)) return false;
      }
      const uint8_t* mainData = slot.blocks[0].data();
      // Where each file that still agrees parts from main in this piece
      // (n where it does not), in blocks.
      std::vector<std::pair<uint32_t, size_t>> parts;
      for (size_t k = 0; k < alike.size(); ++k) {
        if (!agrees[k]) continue;
        const uint8_t* data = slot.blocks[k + 1].data();
        uint32_t agree = 0;
        while (agree < n) {
          uint32_t length = n - agree < kCompareBlock ? n - agree : kCompareBlock;
          if (std::memcmp(mainData + agree, data + agree, length) != 0) break;
          agree += length;
        }
        if (agree < n) parts.emplace_back(agree, k);
      }
      std::sort(parts.begin(), parts.end());
      // Main's sum piece by piece up to each parting, where the file parting
      // takes a copy of it; each such file then sums the rest on its own.
      uint32_t done = 0;
      for (const auto& part : parts) {
        if (part.first > done) worker_.Sum(&main->sum, mainData + done, part.first - done);
        done = part.first;
        worker_.Copy(&alike[part.second]->sum, &main->sum);
        agrees[part.second] = false;
      }
      if (n > done) slot.ticket = worker_.Sum(&main->sum, mainData + done, n - done);
      for (const auto& part : parts) {
        slot.ticket = worker_.Sum(&alike[part.second]->sum,
                                  slot.blocks[part.second + 1].data() + part.first,
                                  n - part.first);
      }
      // Those that parted in an earlier piece sum the whole of this one.
      for (size_t k = 0; k < alike.size(); ++k) {
        bool partedHere = false;
        for (const auto& part : parts) partedHere = partedHere || part.second == k;
        if (!agrees[k] && !partedHere) {
          slot.ticket = worker_.Sum(&alike[k]->sum, slot.blocks[k + 1].data(), n);
        }
      }
      counter_.Advance(uint64_t{n} * readers.size());
    }
    for (size_t k = 0; k < alike.size(); ++k) {
      if (agrees[k]) worker_.Copy(&alike[k]->sum, &main->sum);
      (*same)[alikeAt[k]] = agrees[k];
    }
    main->summed = true;
    for (ReleaseFile* file : alike) file->summed = true;
    // The files that are one with another: its sum, and its verdict.
    for (size_t i = 0; i < others.size(); ++i) {
      if (oneWith[i] == -2) continue;
      const ReleaseFile* source = oneWith[i] < 0 ? main : others[oneWith[i]];
      worker_.Copy(&others[i]->sum, &source->sum);
      others[i]->summed = true;
      (*same)[i] = oneWith[i] < 0 || (*same)[oneWith[i]];
      counter_.Advance(others[i]->size);
    }
    for (auto& reader : readers) {
      if (!reader->AtEnd(error)) return false;
    }
    return true;
  }

 private:
  struct Slot {
    std::vector<HeapBlock> blocks;  // one piece per file of a group
    uint64_t ticket = 0;            // the last job that reads it
  };

  // A slot whose data the worker is done with, with blocks for the pieces
  // of files side by side; null when memory for them is lacking.
  Slot* NextSlot(size_t files) {
    size_t slots = kSlotBlocks / files;
    if (slots > kSlots) slots = kSlots;
    if (slots < 2) slots = 2;
    if (next_ >= slots) next_ = 0;
    Slot& slot = slots_[next_];
    next_ = (next_ + 1) % slots;
    worker_.WaitFor(slot.ticket);
    while (slot.blocks.size() < files) {
      slot.blocks.emplace_back(kComparePiece);
      if (!slot.blocks.back().ok()) {
        slot.blocks.pop_back();
        return nullptr;
      }
    }
    return &slot;
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

bool JoinReleases(const ReleaseTree& oldTree, const ReleaseTree& newTree, ReleaseDiff* diff,
                  std::string* error) {
  *diff = ReleaseDiff();
  diff->oldTree = oldTree;
  diff->newTree = newTree;
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

bool ReadReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  std::string* error, const ReleaseTreeRules& rules) {
  ReleaseTree oldTree, newTree;
  return ReadReleaseTree(oldDir, &oldTree, error, rules) &&
         ReadReleaseTree(newDir, &newTree, error, rules) &&
         JoinReleases(oldTree, newTree, diff, error);
}

bool CompareReleases(ReleaseDiff* diff, const ProgressSink* progress, std::string* error) {
  return CompareSeries({diff}, progress, error);
}

bool CompareSeries(const std::vector<ReleaseDiff*>& diffs, const ProgressSink* progress,
                   std::string* error) {
  if (diffs.empty()) return true;
  // NEW's files are read once, from the last diff's tree, and their sums
  // then go to every other diff's copy of it.
  std::map<std::string, ReleaseFile>& newFiles = diffs.back()->newTree.files;
  for (ReleaseDiff* diff : diffs) {
    diff->changes.clear();
    diff->removed.clear();
  }
  Summer summer(progress);
  // A file too large for any patch that changed by its size alone, or is
  // new, to any OLD is refused whatever it holds; gigabytes are not read to
  // say so.
  auto tooLargeChange = [&diffs](const std::string& key, const ReleaseFile& file) {
    if (FileSizeProblem(file.size).empty()) return false;
    for (const ReleaseDiff* diff : diffs) {
      auto old = diff->oldTree.files.find(key);
      if (old == diff->oldTree.files.end() || old->second.size != file.size) return true;
    }
    return false;
  };
  for (const ReleaseDiff* diff : diffs) {
    for (const auto& item : diff->oldTree.files) {
      if (!IsGameListKey(item.first)) summer.AddTotal(item.second.size);
    }
  }
  for (const auto& item : newFiles) {
    if (!IsGameListKey(item.first) && !tooLargeChange(item.first, item.second)) {
      summer.AddTotal(item.second.size);
    }
  }
  if (progress != nullptr) {
    std::string olds;
    for (size_t i = 0; i < diffs.size(); ++i) {
      olds += (i == 0 ? "" : i + 1 == diffs.size() ? " and " : ", ") + diffs[i]->oldTree.root;
    }
    progress->Stage("comparing " + olds + " with " + diffs.back()->newTree.root);
  }
  // Per diff, in the order of the folded paths, the same on every system:
  // NEW's files that are new to it or differ from its own.
  std::vector<std::vector<std::pair<std::string, bool>>> changed(diffs.size());
  for (auto& item : newFiles) {
    if (IsGameListKey(item.first)) continue;
    ReleaseFile& file = item.second;
    std::vector<ReleaseFile*> olds;
    std::vector<size_t> holders;  // the diffs whose OLD has the file
    for (size_t i = 0; i < diffs.size(); ++i) {
      auto old = diffs[i]->oldTree.files.find(item.first);
      if (old == diffs[i]->oldTree.files.end()) {
        changed[i].emplace_back(item.first, true);
        continue;
      }
      olds.push_back(&old->second);
      holders.push_back(i);
    }
    std::vector<bool> same(olds.size(), false);
    if (tooLargeChange(item.first, file)) {
      // The OLDs' files still count for the checks of their lists.
      for (ReleaseFile* old : olds) {
        if (!summer.SumOne(old, error)) return false;
      }
    } else if (!summer.SumGroup(&file, olds, &same, error)) {
      return false;
    }
    for (size_t k = 0; k < holders.size(); ++k) {
      if (!same[k]) changed[holders[k]].emplace_back(item.first, false);
    }
  }
  // OLD's files that NEW lacks stay with the players; their sums serve the
  // checks of OLD's list.
  for (ReleaseDiff* diff : diffs) {
    for (auto& item : diff->oldTree.files) {
      if (IsGameListKey(item.first) || newFiles.count(item.first) != 0) continue;
      if (!summer.SumOne(&item.second, error)) return false;
      diff->removed.push_back(item.second.relative);
    }
  }
  summer.WaitAll();
  for (size_t i = 0; i < diffs.size(); ++i) {
    ReleaseDiff* diff = diffs[i];
    if (diff != diffs.back()) diff->newTree.files = newFiles;
    // The changes carry copies of their files, sums included.
    for (const auto& change : changed[i]) {
      diff->changes.push_back(ChangeOf(change.first, newFiles[change.first], change.second));
    }
  }
  return true;
}

bool DiffReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  const ProgressSink* progress, std::string* error) {
  return ReadReleases(oldDir, newDir, diff, error) && CompareReleases(diff, progress, error);
}
