// The update's journal: before the first file of its own is made in the
// install folder, an update writes down every file it may leave there (the
// staged new file and the kept old file of each entry, the uninstall
// list's temporary) and which patch it is, so that a run after an
// interruption (a power cut, the process killed) finds all of them, short
// fallback names included, and knows whose they are. The journal is the
// last file of the update to go.
//
// Layout (little-endian): the magic "VLMRJRN1", the 8 stored bytes of the
// digest, a 32-bit entry count (at most 16), then per entry its index, a
// byte 1 when its target held a file before, the target's attributes
// (32 bits), and three NUL-terminated paths relative to the install folder
// (target, staged file, kept file; "" where there is none); then the
// temporary's path, NUL-terminated, as the journal's last bytes.
#pragma once

#include <cstdint>

#include "fileio/file_ops.h"
#include "package/content_sum.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"

// The journal's name in the install folder: short enough to fit wherever
// the patch's hash list (qen.hvl, 7 characters) does, so that every update
// that can run at all can keep it; no entry may have it.
constexpr char kJournalName[] = "~vl.upd";
// Where the journal is written before it takes its name, whole.
constexpr char kJournalTempName[] = "~vl.new";
constexpr char kJournalMagic[8] = {'V', 'L', 'M', 'R', 'J', 'R', 'N', '1'};
// The largest journal: 16 entries of three paths, and the temporary.
constexpr uint32_t kJournalMaxSize = 20 + kMaxPackEntries * (6 + 3 * kPathBufferSize) +
                                     kPathBufferSize;

struct JournalEntry {
  uint32_t index = 0;
  bool existed = false;
  uint32_t attributes = kNoAttributes;
  char target[kPathBufferSize] = {};
  char staged[kPathBufferSize] = {};
  char kept[kPathBufferSize] = {};
};

struct Journal {
  ContentSum digest;
  uint32_t count = 0;
  JournalEntry entries[kMaxPackEntries];
  char listTemp[kPathBufferSize] = {};
};

// Which patch an update is: the content checksum of its hash list's
// records (the patched release, as the list describes it whole). Two
// patches with one list make the same release.
ContentSum PatchDigest(const HashList& list);

// The digest in 8 small hexadecimal digits and its terminator (out: 9
// bytes), for the names of the update's own files.
void DigestText(const ContentSum& digest, char* out);

// Writes the journal into out (size bytes). Returns its length, or 0 when
// it does not fit.
uint32_t EncodeJournal(const Journal& journal, uint8_t* out, uint32_t size);

// Reads a journal of size bytes. Returns true when it is one whole journal
// (magic, count, every path terminated and no longer than a path buffer,
// nothing after the temporary's path); paths are not checked otherwise.
bool DecodeJournal(const uint8_t* data, uint32_t size, Journal* journal);
