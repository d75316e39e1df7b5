// One patch for the players of one release or several (make OLD... NEW):
// which files it must carry, the list it carries, and the proof, before
// anything is written, that the players of each release end at NEW.
//
// The list a patch carries is NEW's own: one record per file of NEW, under
// the name NEW spells it with, in the one order of the toolkit's lists
// (HashListBuilder::SortCanonically), whichever releases the patch serves;
// so that every list the toolkit writes for a release is the same bytes.
//
// A patch holds only files. Each record of its list that it does not carry
// must already be in the player's list, under a name that the updater
// matches with it and with the same sum, or the updater's release check
// refuses the player: so a file is carried where any release's players
// lack it or hold other bytes, and also where a release's list records it
// otherwise (another sum, or a spelling that differs beyond A to Z, which
// the updater's matching does not fold). Where the releases' lists disagree
// on a file, part 1 of a split carries it, since every player meets part
// 1's list first. A record of a file that NEW lacks, which no patch can
// carry, stays in the list only where no release folder holds the file
// (NEW did not remove it) and every release's list holds it alike.
#pragma once

#include <map>
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

// A record as a list holds it.
struct SeriesRecord {
  std::string name;  // stored
  ContentSum sum;
};

struct SeriesChanges {
  // Every file of NEW that the patch carries, once, in the order of their
  // keys, under NEW's spelling and with NEW's sums. isNew when no release
  // has the file (in its folder or its list).
  std::vector<ReleaseChange> changes;
  // The files (StoredNameKey) that the lists disagree on: one holds a
  // record of the file and another not, or they hold other names or sums.
  // Part 1 of a split carries them.
  std::set<std::string> disputed;
  // Indices into changes of the files carried only for the lists: every
  // release's players have NEW's bytes already.
  std::vector<size_t> relisted;
  // Of those, the ones that a release's list spells otherwise beyond A to
  // Z, shown as "NEW's as the list's" (ａｂｃ.txt as ＡＢＣ.txt).
  std::vector<std::string> respelt;
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
  // NEW's list: the list the patch carries, the last part's.
  HashListBuilder list;
  // Per file carried (StoredNameKey) that is not disputed: the record that
  // every release's list holds of it alike, which the lists of the parts
  // before the one that carries it keep (none for a new file).
  std::map<std::string, std::vector<SeriesRecord>> before;
};

// From the releases compared with NEW (CompareSeries done), each of whose
// files matches its own list; NEW's files from the last one's diff.
SeriesChanges SeriesChangesOf(const std::vector<ListedRelease>& releases);

// The list of a part that runs before the parts that carry the files of
// later (StoredNameKeys): NEW's list, with the records that the lists
// before hold of those files (SeriesChanges::before) in place of NEW's, in
// the one order of the lists.
HashListBuilder PartList(const SeriesChanges& series, const std::set<std::string>& later);

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

// Runs the players of each release, every one of them, through the parts
// in order, from the lists and sums at hand: each part's list must name
// each file it carries as the updater matches names, and record no file
// twice; part 1 must pass the updater's release check against the
// release's own list and part k against part k-1's; after each part every
// record of the game's list must match the file the player has (a record
// of a file that the release folder lacks counts as the player's file);
// after the last part every file of NEW must be on the player's machine as
// NEW holds it. False with *error naming the release, the part, the files
// and why.
bool ProveSeries(const std::vector<ListedRelease>& releases, const std::vector<SeriesPart>& parts,
                 std::string* error);
