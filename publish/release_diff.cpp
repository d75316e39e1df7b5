#include "publish/release_diff.h"

#include <cstring>
#include <map>
#include <set>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/hash_list.h"
#include "publish/game_files.h"
#include "publish/output_file.h"
#include "publish/stored_name.h"

namespace {

constexpr uint32_t kComparePiece = 1u << 20;
// Deeper trees are taken for a loop of links.
constexpr int kMaxDepth = 32;

std::string Folded(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = FoldByte(c);
  return out;
}

struct Tree {
  // Files by folded relative path ('/' between parts), and the folders so.
  std::map<std::string, ReleaseFile> files;
  std::map<std::string, std::vector<std::string>> parts;  // the same key: its local parts
  std::set<std::string> folderKeys;
};

bool Walk(const std::string& root, const std::string& folder, const std::string& relative,
          const std::string& key, const std::vector<std::string>& parts, int depth, Tree* tree,
          ReleaseDiff* diff, std::string* error) {
  if (depth > kMaxDepth) {
    *error = "the folder " + folder + " lies more than " + std::to_string(kMaxDepth) +
             " levels deep (a loop of links?)";
    return false;
  }
  PathInfo info;
  if (GetPathInfo(folder, &info)) diff->folders.push_back(info);
  std::vector<FolderItem> items;
  if (!ListFolder(folder, &items, error)) return false;
  for (const FolderItem& item : items) {
    std::string path = folder + NativeSeparator() + item.name;
    std::string rel = relative.empty() ? item.name : relative + NativeSeparator() + item.name;
    std::string itemKey = key.empty() ? Folded(item.name) : key + "/" + Folded(item.name);
    std::vector<std::string> itemParts = parts;
    itemParts.push_back(item.name);
    if (item.folder) {
      tree->folderKeys.insert(itemKey);
      if (!Walk(root, path, rel, itemKey, itemParts, depth + 1, tree, diff, error)) return false;
      continue;
    }
    auto found = tree->files.find(itemKey);
    if (found != tree->files.end()) {
      *error = root + " holds both " + found->second.relative + " and " + rel +
               ", which are one file on Windows (letter case does not count there)";
      return false;
    }
    ReleaseFile file;
    file.relative = rel;
    file.path = path;
    file.size = item.size;
    tree->files[itemKey] = file;
    tree->parts[itemKey] = itemParts;
    diff->files.push_back(path);
  }
  return true;
}

// Whether two files hold the same bytes; false with *error when one cannot
// be read.
bool SameContent(const ReleaseFile& a, const ReleaseFile& b, HeapBlock& bufferA,
                 HeapBlock& bufferB, const ProgressSink* progress, uint64_t* done,
                 uint64_t total, bool* same, std::string* error) {
  *same = false;
  if (a.size != b.size) return true;
  DiskFile fa, fb;
  if (!OpenInput(&fa, a.path, "", error) || !OpenInput(&fb, b.path, "", error)) return false;
  for (uint64_t remaining = a.size; remaining != 0;) {
    uint32_t n = remaining < kComparePiece ? static_cast<uint32_t>(remaining) : kComparePiece;
    if (fa.Read(bufferA.data(), n) != n) {
      *error = "cannot read " + a.path + " in full";
      return false;
    }
    if (fb.Read(bufferB.data(), n) != n) {
      *error = "cannot read " + b.path + " in full";
      return false;
    }
    remaining -= n;
    *done += n;
    if (progress != nullptr) progress->Bytes(*done, total);
    if (std::memcmp(bufferA.data(), bufferB.data(), n) != 0) {
      *done += remaining;
      return true;
    }
  }
  *same = true;
  return true;
}

bool StoredPath(const std::vector<std::string>& parts, const std::string& shown,
                std::string* stored, std::string* error) {
  stored->clear();
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string part;
    if (!StoredPartOf(parts[i], &part, error)) {
      *error = shown + ": " + *error;
      return false;
    }
    if (i != 0) *stored += '\\';
    *stored += part;
  }
  return true;
}

}  // namespace

bool DiffReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  const ProgressSink* progress, std::string* error) {
  *diff = ReleaseDiff();
  for (const std::string* dir : {&oldDir, &newDir}) {
    PathInfo info;
    if (!GetPathInfo(*dir, &info) || !info.folder) {
      *error = "the release folder " + *dir + (info.exists ? " is not a folder" : " does not exist");
      return false;
    }
  }
  if (progress != nullptr) progress->Stage("reading " + oldDir + " and " + newDir);
  Tree oldTree, newTree;
  if (!Walk(oldDir, oldDir, "", "", {}, 0, &oldTree, diff, error) ||
      !Walk(newDir, newDir, "", "", {}, 0, &newTree, diff, error)) {
    return false;
  }

  // The game's own lists in the top folders.
  const std::string listKey = kHashListName;
  const std::string uninstallKey = kUninstallListName;
  auto oldList = oldTree.files.find(listKey);
  if (oldList != oldTree.files.end()) {
    diff->oldList = oldList->second.path;
    if (!StoredPartOf(oldList->second.relative, &diff->oldListName, error)) return false;
  }
  auto newList = newTree.files.find(listKey);
  if (newList != newTree.files.end()) diff->newList = newList->second.path;
  auto newUninstall = newTree.files.find(uninstallKey);
  if (newUninstall != newTree.files.end()) diff->newUninstallList = newUninstall->second.path;

  uint64_t total = 0, done = 0;
  for (const auto& item : newTree.files) {
    auto old = oldTree.files.find(item.first);
    if (old != oldTree.files.end() && old->second.size == item.second.size) {
      total += item.second.size;
    }
  }
  HeapBlock bufferA(kComparePiece), bufferB(kComparePiece);
  if (!bufferA.ok() || !bufferB.ok()) {
    *error = "out of memory";
    return false;
  }
  if (progress != nullptr) progress->Stage("comparing " + oldDir + " and " + newDir);
  // In the order of the folded paths, the same on every system.
  for (const auto& item : newTree.files) {
    const std::string& key = item.first;
    if (key == listKey || key == uninstallKey) continue;
    const ReleaseFile& file = item.second;
    ReleaseChange change;
    change.file = file;
    auto old = oldTree.files.find(key);
    if (old == oldTree.files.end()) {
      change.isNew = true;
      size_t slash = key.rfind('/');
      if (slash != std::string::npos && oldTree.folderKeys.count(key.substr(0, slash)) == 0) {
        *error = "the new file " + file.path + " lies in a folder that " + oldDir +
                 " lacks; the updater creates no folders: add the folder to the game's " +
                 "installation first, or move the file";
        return false;
      }
    } else {
      bool same;
      if (!SameContent(old->second, file, bufferA, bufferB, progress, &done, total, &same,
                       error)) {
        return false;
      }
      if (same) continue;
    }
    if (!StoredPath(newTree.parts[key], file.path, &change.storedName, error)) return false;
    diff->changes.push_back(change);
  }
  for (const auto& item : oldTree.files) {
    if (item.first == listKey || item.first == uninstallKey) continue;
    if (newTree.files.count(item.first) == 0) diff->removed.push_back(item.second.relative);
  }
  return true;
}
