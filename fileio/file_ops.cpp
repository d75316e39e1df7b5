#include "fileio/file_ops.h"

#include <cstring>
#include <initializer_list>

#include "fileio/code_page.h"
#include "fileio/file_ops_platform.h"
#include "fileio/file_watch.h"

namespace {

static_assert(sizeof kTempName - 1 >= 16, "the temporary name must be longer than any entry name");
constexpr char kOwnStem[] = "~velmora-";
// "~velmora-" DIGEST "-new-" N ".tmp": 9 + 8 + 5 + at most 2 + 4 bytes.
static_assert(sizeof kOwnStem - 1 + 8 + 5 + 1 + 4 >= 16, "own names must be longer than any entry name");
static_assert(sizeof kOwnStem - 1 + 8 + 5 + 2 + 4 + 1 <= kOwnNameSize, "own names must fit");

// Characters of the short temporary names, tried in this order.
constexpr char kShortChars[] = "~_0123456789abcdefghijklmnopqrstuvwxyz";
constexpr uint32_t kShortCharCount = sizeof kShortChars - 1;
// Short names tried before giving up: far more than a folder's entries.
constexpr uint32_t kShortAttempts = 64;
// Entry indexes in own names have at most two digits.
constexpr uint32_t kOwnIndexLimit = 100;

// Pauses between the attempts of a move that another program holds up,
// growing, two seconds in all: a virus scanner's look at a new file takes
// a moment, a program that keeps the file open does not let go.
constexpr uint32_t kMovePauses[] = {10, 20, 40, 80, 150, 300, 400, 500, 500};

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Whether name equals a part (between separators) of any avoided stored
// name, without regard to ASCII case.
bool Avoided(const char* name, size_t length, const char* const* avoid) {
  for (; avoid != nullptr && *avoid != nullptr; ++avoid) {
    const char* stored = *avoid;
    for (uint32_t start = 0;;) {
      uint32_t end = Cp932PartEnd(stored, start);
      if (end - start == length) {
        size_t i = 0;
        while (i < length && Fold(stored[start + i]) == Fold(name[i])) ++i;
        if (i == length) return true;
      }
      if (stored[end] == '\0') break;
      start = end + 1;
    }
  }
  return false;
}

// Short name number k (from 0) of the given length: '~' and k in the
// characters above; a single character where the length is 1. False when
// there is no such name.
bool ShortName(uint32_t k, size_t length, char* out) {
  if (length == 1) {
    if (k >= kShortCharCount) return false;
    out[0] = kShortChars[k];
    return true;
  }
  out[0] = '~';
  for (size_t i = length - 1; i >= 1; --i) {
    out[i] = kShortChars[k % kShortCharCount];
    k /= kShortCharCount;
  }
  return k == 0;
}

// The UTF-16 units that the UTF-8 text takes: one per character, two for
// those beyond the first plane.
size_t Utf16Length(const char* text) {
  size_t units = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if ((*p & 0xC0) != 0x80) units += *p >= 0xF0 ? 2 : 1;
  }
  return units;
}

// Makes attempts of a move until one is not held up, pausing in between;
// the last one decides.
template <typename Attempt>
int MoveWhileBusy(Attempt attempt) {
  for (uint32_t tried = 0;; ++tried) {
    MoveOutcome outcome = attempt();
    if (outcome != MoveOutcome::kBusy) return outcome == MoveOutcome::kDone ? 1 : 0;
    if (!PauseBeforeRetry(tried)) return 0;
  }
}

// "~velmora-" digest "-" kind, then "-" index where index is not negative,
// then ".tmp".
void OwnName(const char* digest, const char* kind, int index, char* out) {
  size_t n = 0;
  for (const char* part : {kOwnStem, digest, "-", kind}) {
    size_t length = std::strlen(part);
    std::memcpy(out + n, part, length);
    n += length;
  }
  if (index >= 0) {
    out[n++] = '-';
    if (index >= 10) out[n++] = static_cast<char>('0' + index / 10 % 10);
    out[n++] = static_cast<char>('0' + index % 10);
  }
  std::memcpy(out + n, ".tmp", 5);
}

// How one name for a file of the update's own fared.
enum class NameOutcome { kTaken, kNextName, kFailed };

// Tries names beside target for a file of the update's own, as
// CreateTempBeside describes them, until attempt takes one (kTaken) or
// fails for a reason that another name would not change (kFailed). The
// name tried is in path (size bytes); "" when none was taken.
template <typename Attempt>
bool ChooseNameBeside(const char* target, const char* const* avoid, const char* fixedName,
                      char* path, uint32_t size, Attempt attempt) {
  if (size == 0) return false;
  path[0] = '\0';
  size_t folderLength = FolderPartLength(target);
  size_t nameBytes = std::strlen(target + folderLength);
  // Short names take as many UTF-16 units as the target's name, which is
  // what Windows' path limit counts, and no more bytes.
  size_t nameLength = Utf16Length(target + folderLength);
  size_t fixedLength = std::strlen(fixedName);
  if (nameLength == 0 || folderLength + nameBytes >= size) return false;
  for (uint32_t k = 0; k <= kShortAttempts; ++k) {
    std::memcpy(path, target, folderLength);
    char* name = path + folderLength;
    if (k == 0) {
      // The fixed name, where it fits. Whatever has it is ours, left by an
      // interrupted update; it goes first, and is never opened: a link
      // planted there would lead the new file elsewhere.
      // Where it fits: in bytes, and in the characters that Windows'
      // path limit counts.
      if (folderLength + fixedLength + 1 > size) continue;
      std::memcpy(path, target, folderLength);
      path[folderLength] = '\0';
      if (Utf16Length(path) + fixedLength > kMaxPathUnits) continue;
      std::memcpy(name, fixedName, fixedLength + 1);
      RemoveLeftover(path);  // where it stays, the attempt fails
    } else {
      // A name of the target's own length fits wherever the target does;
      // one that exists may be anybody's file and is passed over.
      if (!ShortName(k - 1, nameLength, name)) break;
      name[nameLength] = '\0';
      if (Avoided(name, nameLength, avoid) || PathExists(path)) continue;
    }
    NameOutcome outcome = attempt(path);
    if (outcome == NameOutcome::kTaken) return true;
    if (outcome == NameOutcome::kFailed) break;
  }
  path[0] = '\0';
  return false;
}

}  // namespace

bool PauseBeforeRetry(uint32_t attempt) {
  if (attempt >= sizeof kMovePauses / sizeof kMovePauses[0]) return false;
  PauseFor(kMovePauses[attempt]);
  return true;
}

int ReplaceWithFile(const char* target, const char* source, int* syncError) {
  int ignored;
  int* error = syncError != nullptr ? syncError : &ignored;
  *error = 0;
  return MoveWhileBusy([&] { return ReplaceWithFileOnce(target, source, error); });
}

int ReplaceFileContents(const char* target, const char* newPath, int* syncError) {
  int ignored;
  int* error = syncError != nullptr ? syncError : &ignored;
  *error = 0;
  return MoveWhileBusy([&] { return ReplaceFileContentsOnce(target, newPath, error); });
}

int JoinPath(char* out, uint32_t size, const char* folder, const char* name) {
  size_t folderLength = std::strlen(folder);
  size_t nameLength = std::strlen(name);
  // folder + '\' + name + NUL, compared without overflow.
  if (size == 0 || folderLength >= size || nameLength >= size - folderLength - 1) {
    if (size != 0) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, folder, folderLength);
  out[folderLength] = '\\';
  std::memcpy(out + folderLength + 1, name, nameLength + 1);
  return 1;
}

int JoinEntryPath(char* out, uint32_t size, const char* folder, const char* storedName) {
  char name[kPathBufferSize];
  if (!Cp932ToUtf8(storedName, name, sizeof name) || !JoinPath(out, size, folder, name)) {
    if (size != 0) out[0] = '\0';
    return 0;
  }
  return MatchExistingNames(out, size, static_cast<uint32_t>(std::strlen(folder) + 1),
                            storedName);
}

uint32_t FolderPartLength(const char* path) {
  uint32_t length = 0;
  for (uint32_t i = 0; path[i] != '\0'; ++i) {
    if (IsSeparator(path[i])) length = i + 1;
  }
  return length;
}

int RemoveOwnFile(const char* path) { return RemoveLeftover(path); }

void StagedNameFor(const char* digest, uint32_t index, char* out) {
  OwnName(digest, "new", static_cast<int>(index % kOwnIndexLimit), out);
}

void KeptNameFor(const char* digest, uint32_t index, char* out) {
  OwnName(digest, "old", static_cast<int>(index % kOwnIndexLimit), out);
}

void ListTempNameFor(const char* digest, char* out) { OwnName(digest, "lst", -1, out); }

int CreateTempBeside(DiskFile* file, const char* target, const char* const* avoid,
                     const char* fixedName, char* tempPath, uint32_t size, int* systemError) {
  *systemError = 0;
  bool first = true;
  return ChooseNameBeside(target, avoid, fixedName, tempPath, size, [&](const char* path) {
    if (file->OpenNew(path)) return NameOutcome::kTaken;
    if (first) *systemError = LastSystemError();
    first = false;
    return NameOutcome::kNextName;
  }) ? 1 : 0;
}

int ChooseOwnPath(const char* target, const char* const* avoid, const char* fixedName,
                  bool (*taken)(void* context, const char* path), void* context, char* out,
                  uint32_t size) {
  return ChooseNameBeside(target, avoid, fixedName, out, size, [&](const char* path) {
    if (taken(context, path)) return NameOutcome::kNextName;
    // A fixed name whose leftover stays (a folder, say) is not free.
    return PathExists(path) ? NameOutcome::kNextName : NameOutcome::kTaken;
  }) ? 1 : 0;
}

int MoveAside(const char* target, const char* keptPath) {
  return MoveWhileBusy([&] { return MoveAsideOnce(target, keptPath); });
}

int OpenReadWhileBusy(DiskFile* file, const char* path, ReadSharing sharing) {
  return MoveWhileBusy([&] {
    if (!FailedByWatch(FileCall::kOpenRead, path) &&
        (sharing == ReadSharing::kEverybody ? file->OpenReadShared(path)
         : sharing == ReadSharing::kHeld    ? file->OpenToReplace(path, true)
                                            : file->OpenRead(path))) {
      return MoveOutcome::kDone;
    }
    return IsBusyError(LastSystemError()) ? MoveOutcome::kBusy : MoveOutcome::kFailed;
  });
}

namespace {

MoveOutcome HoldOnce(DiskFile* held, const char* path) {
  if (!FailedByWatch(FileCall::kHold, path) && held->OpenToReplace(path)) return MoveOutcome::kDone;
  return IsBusyError(LastSystemError()) ? MoveOutcome::kBusy : MoveOutcome::kFailed;
}

// Sets the held file's attributes through its hold.
bool SetHeldAttributes(DiskFile* held, const char* path, uint32_t attributes) {
  return !FailedByWatch(FileCall::kSetAttributes, path, nullptr, attributes) &&
         SetOpenFileAttributes(held, attributes);
}

}  // namespace

int HoldToReplace(DiskFile* held, const char* path) {
  return MoveWhileBusy([&] { return HoldOnce(held, path); });
}

bool IsStillAt(DiskFile* file, const char* path, const FileId& id) {
  FileId now;
  return file->IsItselfAt(path) && GetOpenFileId(file, &now) == 1 && now == id;
}

int MoveOpenFile(DiskFile* file, const char* ownPath, const char* path, int* syncError) {
  int ignored;
  int* error = syncError != nullptr ? syncError : &ignored;
  *error = 0;
  return MoveWhileBusy([&] { return MoveOpenFileOnce(file, ownPath, path, false, error); });
}

int GiveNewFileAttributes(DiskFile* file, const char* path, uint32_t oldAttributes,
                          NewAttributes rule) {
  if (oldAttributes == kNoAttributes) return 0;
  uint32_t given = NewFileAttributesFor(GetOpenFileAttributes(file), oldAttributes, rule);
  if (given == kNoAttributes) return 1;  // it keeps its own
  return SetHeldAttributes(file, path, given) ? 1 : 0;
}

int ReplaceHeldFile(DiskFile* file, const char* newPath, DiskFile* held, const char* target,
                    const FileId& id, NewAttributes rule, int* syncError) {
  int ignored;
  int* error = syncError != nullptr ? syncError : &ignored;
  *error = 0;
  bool given = false;
  int placed = MoveWhileBusy([&] {
    if (!held->IsOpen()) {
      MoveOutcome outcome = HoldOnce(held, target);
      if (outcome != MoveOutcome::kDone) return outcome;
    }
    // Still the file that was checked, under its own name: no other file
    // was put in its place while it was not held.
    uint32_t attributes = GetOpenFileAttributes(held);
    if (!IsStillAt(held, target, id) || attributes == kNoAttributes) {
      held->Close();
      ClearSystemError();
      return MoveOutcome::kFailed;
    }
    if (!given && !GiveNewFileAttributes(file, newPath, attributes, rule)) {
      held->Close();
      return MoveOutcome::kFailed;
    }
    given = true;
    uint32_t forMove =
        rule == NewAttributes::kGameFile ? AttributesForReplacement(attributes) : kNoAttributes;
    if (forMove != kNoAttributes) SetHeldAttributes(held, target, forMove);
    if (HoldEndsBeforeReplacing()) held->Close();
    MoveOutcome outcome = MoveOpenFileOnce(file, newPath, target, true, error);
    if (outcome != MoveOutcome::kDone && forMove != kNoAttributes) {
      // As it was between attempts.
      int saved = LastSystemError();
      if (held->IsOpen()) {
        SetHeldAttributes(held, target, attributes);
      } else {
        SetPathAttributes(target, attributes);
      }
      SetSystemError(saved);
    }
    held->Close();
    return outcome;
  });
  held->Close();
  return placed;
}
