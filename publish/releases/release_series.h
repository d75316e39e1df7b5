// One patch for the players of several releases (make OLD... NEW): which
// files it must carry, which records its hash list may keep, and the proof,
// before anything is written, that the players of each release end at NEW.
//
// A patch holds only files. Each file it does not carry must already be on
// the player's machine as its list says, or the updater's release check
// refuses the player: so a file whose record the releases' own lists
// disagree on is carried (in a split, by part 1, which every player runs
// first). A record of a file that NEW lacks, which no patch can carry,
// stays in the list only where no release folder holds the file (NEW did
// not remove it) and every release's list holds it alike.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "publish/releases/hash_list_writer.h"
#include "publish/releases/release_diff.h"

// A release that a patch is made for: its folder, the game as its players
// have it, compared with NEW; and its hash list as they have it.
struct ListedRelease {
  const ReleaseDiff* diff = nullptr;
  const HashListBuilder* list = nullptr;
};

struct SeriesChanges {
  // Every file of NEW that is new or differs in any release, or whose record
  // the releases' lists disagree on, once, in the order of their folded
  // paths. isNew when no release has the file.
  std::vector<ReleaseChange> changes;
  // The folded stored names of the records that the lists disagree on (one
  // holds it and another not, or their first records' sums differ).
  std::set<std::string> disputed;
  // Indices into changes of the files carried only because the lists
  // disagree on them: every release holds them as NEW does.
  std::vector<size_t> relisted;
  // Records that the patch's list leaves out (stored names as the first
  // list that holds them spells them). Records of files that NEW lacks and
  // a release folder holds: NEW removed them, and a list that named them
  // would describe files that players of NEW do not have (players of OLD
  // keep the files, a patch cannot delete them).
  std::vector<std::string> removed;
  // Records of files that NEW and every release folder lack, on which the
  // lists disagree: a record that a player's list does not hold alike
  // would refuse that player. (Where every list holds it alike, it stays:
  // the players have the file, though the folders lack it.)
  std::vector<std::string> dropped;
};

// From the releases compared with NEW (CompareReleases done), each of
// whose files matches its own list; NEW's sums are taken from the last
// one's. With one release: its changes as they are, nothing disputed.
SeriesChanges SeriesChangesOf(const std::vector<ListedRelease>& releases);

// Part 1 of a split must carry every disputed file: the releases' players
// meet its list first, and a record that differs from theirs refuses them.
// The changes (indices into SeriesChanges::changes) in the order a split
// takes them: the disputed ones first, then the others, each in path order.
std::vector<size_t> SeriesOrder(const SeriesChanges& series);

// The updater's release check (FindForeignRecord in package/release_check.h)
// on lists at hand, with the same answer, in n log n rather than n squared:
// the index of the first record of patch, among the first records of each
// name, whose name carried (folded stored names) lacks and that installed
// does not hold with the same sum in the first record of its name; -1 when
// there is none.
int ForeignRecord(const HashListBuilder& patch, const std::set<std::string>& carried,
                  const HashListBuilder& installed);

// One patch of the set (the only one unless split), as players meet it.
struct SeriesPart {
  std::string output;
  std::vector<const ReleaseChange*> carried;  // NEW's files, with their sums
  const HashListBuilder* list = nullptr;      // the list it carries
};

// Runs the players of each release through the parts in order, from the
// lists and sums at hand: part 1 must pass the updater's release check
// against the release's own list and part k against part k-1's; after
// each part every record of the game's list must match the file the
// player has (a record of a file that the release folder lacks counts as
// the player's file); after the last part every file of NEW must be on
// the player's machine as NEW holds it. False with *error naming the
// release, the part and the files.
bool ProveSeries(const std::vector<ListedRelease>& releases, const std::vector<SeriesPart>& parts,
                 std::string* error);
