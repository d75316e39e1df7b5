// make's manifest of the patch it made (or, in a dry run, would make): for
// support staff and scripts, in the report (--report).
#include "publish/releases/make_steps.h"

#include <set>

#include "package/content_sum.h"
#include "package/hash_list.h"
#include "publish/packages/stored_name.h"

namespace {

std::string SumOfBytes(const std::vector<uint8_t>& bytes) {
  ContentSum sum;
  UpdateContentSum(&sum, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return ContentSumHex(sum);
}

// Why a file of the top folder is never packed.
std::string NotTaken(const std::string& key, const std::string& newDir) {
  if (key == kHashListName) {
    return newDir + "'s own hash list: the patch carries the list that players have after it";
  }
  if (key == kExclusionFileName) return "the release's exclusion file: never packed";
  return "the game's uninstall list: the updater extends the players' own";
}

}  // namespace

namespace make_step {

Manifest MakeManifest(const MakeJob& job, const MakeOutcome& outcome) {
  Manifest lines;
  const ReleaseDiff& diff = outcome.diff;
  std::vector<const ReleaseDiff*> diffs;
  for (const ReleaseDiff& other : outcome.otherDiffs) diffs.push_back(&other);
  diffs.push_back(&diff);
  for (const ReleaseDiff* one : diffs) lines.push_back({"serves", one->oldTree.root});
  if (outcome.parts.empty()) return lines;
  const HashListBuilder& carried = outcome.parts.back().list;
  lines.push_back({"ends-at", job.newDir, SumOfBytes(carried.Bytes()),
                   std::to_string(carried.count())});
  const size_t count = outcome.parts.size();
  std::set<std::string> carriedKeys;
  for (size_t k = 0; k < count; ++k) {
    const MakePart& part = outcome.parts[k];
    const std::string number = std::to_string(k + 1);
    lines.push_back({"part", number, std::to_string(count), part.output,
                     std::to_string(part.changes.size() + 1),
                     job.dryRun ? "-" : std::to_string(part.pack.check.fileSize)});
    for (size_t index : part.changes) {
      const ReleaseChange& change = diff.changes[index];
      carriedKeys.insert(change.key);
      bool relisted = false;
      for (size_t at : outcome.relisted) relisted = relisted || at == index;
      lines.push_back({"carries", number, ShownName(change.storedName),
                       std::to_string(change.file.size), ContentSumHex(change.file.sum),
                       change.isNew ? "new" : relisted ? "relisted" : "changed"});
    }
    const std::vector<uint8_t> list = part.list.Bytes();
    lines.push_back({"list", number, ShownName(diff.oldListName), std::to_string(list.size()),
                     SumOfBytes(list), std::to_string(part.list.count())});
  }
  // What the patch leaves out, and why.
  const ReleaseTree& newTree = diff.newTree;
  for (const auto& item : newTree.files) {
    const std::string path = FaultPath(newTree.root, item.second.relative);
    if (IsGameListKey(item.first)) {
      lines.push_back({"left-out", path, "not-taken", NotTaken(item.first, job.newDir)});
    } else if (carriedKeys.count(item.first) == 0) {
      lines.push_back({"left-out", path, "unchanged",
                       "the players of every OLD have it as " + job.newDir +
                           " holds it, and their lists record it so"});
    }
  }
  std::vector<const ReleaseTree*> trees;
  for (const ReleaseDiff* one : diffs) trees.push_back(&one->oldTree);
  trees.push_back(&newTree);
  for (const ReleaseTree* tree : trees) {
    for (const std::string& relative : tree->excluded) {
      const bool folder = !relative.empty() && relative.back() == NativeSeparator();
      const std::string bare = folder ? relative.substr(0, relative.size() - 1) : relative;
      lines.push_back({"left-out", FaultPath(tree->root, relative), "excluded",
                       "no part of the game: " + tree->exclusions.Reason(bare, folder)});
    }
    for (const std::string& path : tree->leftovers) {
      lines.push_back({"left-out", FaultPath("", path), "leftover",
                       "a temporary file that an interrupted patchtool left"});
    }
  }
  for (const ReleaseDiff* one : diffs) {
    for (const std::string& relative : one->removed) {
      lines.push_back({"left-out", FaultPath(one->oldTree.root, relative), "removed",
                       "not in " + job.newDir + ": a patch cannot delete; players keep it, "
                       "and the list does not record it"});
    }
  }
  for (const auto& record : outcome.recordsLeftOut) {
    lines.push_back({"left-out", ShownName(record.first), "record-dropped", record.second});
  }
  return lines;
}

}  // namespace make_step
