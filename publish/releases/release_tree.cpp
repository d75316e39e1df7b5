#include "publish/releases/release_tree.h"

#include "package/hash_list.h"
#include "publish/shared/file_faults.h"
#include "publish/shared/game_files.h"
#include "publish/shared/output_file.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/windows_names.h"
#include "publish/shared/wording.h"

namespace {

// Deeper trees are taken for a loop of links.
constexpr int kMaxDepth = 32;

struct Walker {
  ReleaseTree* tree;
  const Exclusions* exclusions;
  // Files under more than one name that Windows takes for one, by key.
  std::map<std::string, std::vector<std::string>> clashes;

  bool Walk(const std::string& folder, const std::string& relative, const std::string& key,
            const std::string& stored, const std::string& storedError, int depth,
            std::string* error) {
    if (depth > kMaxDepth) {
      *error = "the folder " + folder + " lies more than " + std::to_string(kMaxDepth) +
               " levels deep (a loop of links?)";
      return false;
    }
    PathInfo info;
    if (GetPathInfo(folder, &info)) tree->folders.push_back(info);
    std::vector<FolderItem> items;
    if (!ListFolder(folder, &items, error)) return false;
    for (const FolderItem& item : items) {
      std::string path = folder + NativeSeparator() + item.name;
      std::string rel = relative.empty() ? item.name : relative + NativeSeparator() + item.name;
      std::string itemKey = key.empty() ? WindowsNameKey(item.name)
                                        : key + "/" + WindowsNameKey(item.name);
      if (LeftOut(rel, itemKey, item.folder)) continue;
      // A name that cannot be stored makes every path below it unstorable;
      // the first fault is the one to mend.
      std::string itemStored, itemError = storedError;
      if (itemError.empty()) {
        std::string part;
        if (StoredPartOf(item.name, &part, &itemError)) {
          itemStored = stored.empty() ? part : stored + "\\" + part;
        }
      }
      if (!item.folder && IsPartialFileName(item.name)) {
        tree->leftovers.push_back(path);
        continue;
      }
      if (item.folder) {
        tree->folderKeys.insert(itemKey);
        if (!Walk(path, rel, itemKey, itemStored, itemError, depth + 1, error)) return false;
        continue;
      }
      auto found = tree->files.find(itemKey);
      if (found != tree->files.end()) {
        std::vector<std::string>& names = clashes[itemKey];
        if (names.empty()) names.push_back(found->second.relative);
        names.push_back(rel);
        continue;
      }
      ReleaseFile& file = tree->files[itemKey];
      file.relative = rel;
      file.path = path;
      file.size = item.size;
      file.volume = item.volume;
      file.index = item.index;
      file.storedName = itemStored;
      file.nameError = itemError;
    }
    return true;
  }

  // Whether the exclusions leave the item out; the game's own lists in the
  // top folder are never theirs to take.
  bool LeftOut(const std::string& rel, const std::string& key, bool folder) {
    if (exclusions == nullptr || (!folder && IsGameListKey(key))) return false;
    if (!exclusions->Excludes(rel, folder)) return false;
    tree->excluded.push_back(folder ? rel + NativeSeparator() : rel);
    return true;
  }
};

}  // namespace

bool IsGameListKey(const std::string& key) {
  return key == kHashListName || key == kUninstallListName || key == kExclusionFileName;
}

std::string FindExclusionFile(const std::string& root) {
  // Under the spelling it has, in any letter case, as Windows finds it.
  std::vector<FolderItem> items;
  std::string ignored;
  if (ListFolder(root, &items, &ignored)) {
    for (const FolderItem& item : items) {
      if (!item.folder && WindowsNameKey(item.name) == kExclusionFileName) {
        return root + NativeSeparator() + item.name;
      }
    }
    return std::string();
  }
  // A folder that cannot be listed whole (an entry that cannot be looked
  // at) may still hold it; its walk says what is wrong with the rest.
  PathInfo info;
  const std::string exact = root + NativeSeparator() + kExclusionFileName;
  return GetPathInfo(exact, &info) && !info.folder ? exact : std::string();
}

bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error,
                     const ReleaseTreeRules& rules) {
  *tree = ReleaseTree();
  tree->root = root;
  PathInfo info;
  if (!GetPathInfo(root, &info) || !info.folder) {
    *error = "the release folder " + root + (info.exists ? " is not a folder" : " does not exist");
    return false;
  }
  // The release's own exclusions add to the caller's.
  if (rules.exclusions != nullptr) {
    tree->exclusions = *rules.exclusions;
    tree->excluding = true;
  } else {
    tree->exclusions.KeepDefaultNames();
  }
  tree->exclusionFile = FindExclusionFile(root);
  if (!tree->exclusionFile.empty()) {
    // Named as faults name files, the same on every system.
    const std::string shown = FaultPath("", tree->exclusionFile);
    if (!tree->exclusions.AddFile(tree->exclusionFile, shown, error)) {
      return false;
    }
    tree->excluding = true;
  }
  Walker walker{tree, tree->excluding ? &tree->exclusions : nullptr, {}};
  if (!walker.Walk(root, "", "", "", "", 0, error)) return false;
  std::vector<std::vector<std::string>> groups;
  for (const auto& clash : walker.clashes) groups.push_back(clash.second);
  if (rules.collectTwins) {
    tree->twins = groups;
  } else if (!groups.empty()) {
    *error = TwinsText(root + " holds", groups, "keep one of each");
    return false;
  }
  return true;
}

std::string LeftoverWarning(const std::vector<std::string>& paths) {
  if (paths.empty()) return std::string();
  std::vector<std::string> shown;
  for (const std::string& path : paths) shown.push_back(ShownPath(path));
  bool one = paths.size() == 1;
  return ItemList(shown, 10) + (one ? " is a temporary file" : " are temporary files") +
         " (*.part) that an interrupted patchtool left, not " +
         (one ? "a release file: left out" : "release files: left out") +
         "; the interrupted command removes its own when it runs again, or remove " +
         (one ? "it" : "them");
}

