// Turns two release folders into the fix patch: the files of NEW that are
// new or changed, and OLD's hash list with their records refreshed in place
// and new ones appended, stored last under its own name. The patch is
// checked as patchtool verify does before it takes the output's place.
#pragma once

#include <string>
#include <vector>

#include "publish/pack_writer.h"
#include "publish/release_diff.h"

struct MakeJob {
  std::string oldDir;
  std::string newDir;
  std::string stub;
  std::string output;
  bool dryRun = false;  // everything but the writing
  bool acceptTwinStub = false;
  const ProgressSink* progress = nullptr;
};

struct MakeOutcome {
  ReleaseDiff diff;
  // Per change, in order: whether OLD's list has a record of its name,
  // which the patch refreshes in place (else it appends one).
  std::vector<bool> refreshes;
  uint32_t oldRecords = 0;
  PackOutcome pack;                   // unless a dry run
  std::vector<std::string> warnings;  // one line each, without "warning: "
};

// The most files a patch carries besides its hash list.
constexpr uint32_t kMaxPatchFiles = 15;

// False with *error (and nothing written) on any refusal: more than 15
// changed files, a name too long or not representable in code page 932,
// no change at all, no hash list in OLD or one that does not load, an
// output that is a release file or lies in a release folder, a stub that is
// no updater, and whatever DiffReleases and WritePackage refuse.
bool MakePatch(const MakeJob& job, MakeOutcome* outcome, std::string* error);
