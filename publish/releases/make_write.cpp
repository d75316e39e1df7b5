// make, step 4: writing the parts and NEW's list, each through a
// temporary file, in place only once every one has passed.
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

std::string NewListPath(const MakeJob& job, const ReleaseDiff& diff) {
  if (!diff.newList.empty()) return diff.newList;
  return job.newDir + NativeSeparator() + NameOf(diff.oldList);
}

bool WriteParts(const MakeJob& job, MakeOutcome* outcome, std::string* error) {
  const ReleaseDiff& diff = outcome->diff;
  std::vector<std::unique_ptr<OutputFile>> outs;
  for (MakePart& part : outcome->parts) {
    PackJob pack;
    pack.stub = job.stub;
    pack.output = part.output;
    for (size_t index : part.changes) {
      pack.files.push_back(diff.changes[index].file.path);
      pack.storedNames.push_back(diff.changes[index].storedName);
    }
    pack.preparedList = part.list.Bytes();
    pack.hashListName = diff.oldListName;
    pack.acceptTwinStub = job.acceptTwinStub;
    pack.progress = job.progress;
    outs.emplace_back(new OutputFile(part.output, OutputKind::kProgram));
    if (!WritePackageTo(pack, *outs.back(), &part.pack, error)) return false;
    if (job.progress != nullptr) job.progress->Stage("verifying " + part.output);
    CheckPackage(outs.back()->TempPath(), &part.pack.check, job.progress);
    if (!ProvePart(diff, part, pack.preparedList, error)) return false;
    PackageVerdict verdict = JudgePackage(part.pack.check, job.acceptTwinStub);
    if (verdict != kPackagePasses) {
      *error = part.output + " fails its check: " + PackageVerdictText(verdict);
      if (verdict == kPackageRefused) *error += ": " + JudgementText(part.pack.check);
      return false;
    }
  }
  if (outs.size() == 1) {
    outs[0]->CompletesTheWork();
    return outs[0]->Commit(error);
  }
  // Players run the parts in order: a set half of this make, half of an
  // earlier one, must never be left.
  std::vector<OutputFile*> set;
  for (const auto& out : outs) set.push_back(out.get());
  return CommitSet(set, true, &outcome->warnings, error);
}

bool PrepareNewList(const HashListBuilder& carried, OutputFile* out, std::string* error) {
  std::vector<uint8_t> bytes = carried.Bytes();
  return out->Open(error) && out->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), error);
}

}  // namespace make_step
