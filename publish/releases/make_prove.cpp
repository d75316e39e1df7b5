// make, step 3: proving the plan before anything is written, and each
// written part read back as the updater reads it.
#include "publish/releases/make_steps.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "fileio/file_ops.h"
#include "fileio/toolkit/path_info.h"
#include "package/hash_list.h"
#include "publish/shared/output_file.h"
#include "publish/packages/stored_name.h"
#include "publish/packages/updater_image.h"
#include "publish/shared/windows_names.h"
#include "publish/releases/release_series.h"
#include "publish/shared/wording.h"

namespace make_step {

bool ProvePlan(const std::vector<ListedRelease>& releases, const MakeOutcome& outcome,
               std::string* error) {
  std::vector<SeriesPart> parts;
  for (const MakePart& part : outcome.parts) {
    SeriesPart seen;
    seen.output = part.output;
    for (size_t index : part.changes) seen.carried.push_back(&outcome.diff.changes[index]);
    seen.list = &part.list;
    parts.push_back(seen);
  }
  return ProveSeries(releases, parts, error);
}

bool ProvePart(const ReleaseDiff& diff, const MakePart& part, const std::vector<uint8_t>& list,
               std::string* error) {
  const PackageReport& check = part.pack.check;
  if (check.entries.size() != part.changes.size() + 1) {
    *error = part.output + " does not hold the entries planned";
    return false;
  }
  for (size_t i = 0; i < part.changes.size(); ++i) {
    const ReleaseChange& change = diff.changes[part.changes[i]];
    const EntryReport& entry = check.entries[i];
    if (entry.check == kEntryUnreadable || entry.name != change.storedName ||
        entry.size != change.file.size || entry.computed != change.file.sum) {
      *error = change.file.path + " changed while make ran (" + part.output +
               " would hold other bytes than those compared): run make again";
      return false;
    }
  }
  ContentSum listSum;
  UpdateContentSum(&listSum, list.data(), static_cast<uint32_t>(list.size()));
  const EntryReport& entry = check.entries.back();
  if (entry.check == kEntryUnreadable || entry.name != diff.oldListName ||
      entry.computed != listSum || check.recordCount != part.list.count()) {
    *error = part.output + " does not hold the hash list planned";
    return false;
  }
  return true;
}

}  // namespace make_step
