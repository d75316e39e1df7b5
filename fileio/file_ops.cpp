#include "fileio/file_ops.h"

#include <cstring>

#include "fileio/code_page.h"
#include "fileio/file_ops_platform.h"
#include "fileio/file_watch.h"

namespace {

// The temporary file of an update, in whatever folder it writes into. 16
// bytes or more: a stored entry name (at most 15 bytes) can never be it.
constexpr char kTempName[] = "~velmora-update.tmp";
static_assert(sizeof kTempName - 1 >= 16, "the temporary name must be longer than any entry name");

// Characters of the short temporary names, tried in this order.
constexpr char kShortChars[] = "~_0123456789abcdefghijklmnopqrstuvwxyz";
constexpr uint32_t kShortCharCount = sizeof kShortChars - 1;
// Short names tried before giving up: far more than a folder's entries.
constexpr uint32_t kShortAttempts = 64;

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
  for (uint32_t pause : kMovePauses) {
    MoveOutcome outcome = attempt();
    if (outcome != MoveOutcome::kBusy) return outcome == MoveOutcome::kDone ? 1 : 0;
    PauseFor(pause);
  }
  return attempt() == MoveOutcome::kDone ? 1 : 0;
}

}  // namespace

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

int CreateTempBeside(DiskFile* file, const char* target, const char* const* avoid,
                     char* tempPath, uint32_t size, int* systemError) {
  *systemError = 0;
  if (size == 0) return 0;
  tempPath[0] = '\0';
  size_t folderLength = FolderPartLength(target);
  size_t nameBytes = std::strlen(target + folderLength);
  // Short names take as many UTF-16 units as the target's name, which is
  // what Windows' path limit counts, and no more bytes.
  size_t nameLength = Utf16Length(target + folderLength);
  if (nameLength == 0 || folderLength + nameBytes >= size) return 0;
  bool first = true;
  for (uint32_t attempt = 0; attempt <= kShortAttempts; ++attempt) {
    std::memcpy(tempPath, target, folderLength);
    char* name = tempPath + folderLength;
    if (attempt == 0) {
      // The fixed name, where it fits. Whatever has it is ours, left by an
      // interrupted update; it goes first, and is never opened: a link
      // planted there would lead the new file elsewhere.
      if (folderLength + sizeof kTempName > size) continue;
      std::memcpy(name, kTempName, sizeof kTempName);
      RemoveLeftover(tempPath);  // where it stays, the creation fails
    } else {
      // A name of the target's own length fits wherever the target does;
      // one that exists may be anybody's file and is passed over.
      if (!ShortName(attempt - 1, nameLength, name)) break;
      name[nameLength] = '\0';
      if (Avoided(name, nameLength, avoid) || PathExists(tempPath)) continue;
    }
    if (file->OpenNew(tempPath)) return 1;
    if (first) *systemError = LastSystemError();
    first = false;
  }
  tempPath[0] = '\0';
  return 0;
}
