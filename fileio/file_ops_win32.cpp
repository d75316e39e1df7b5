// The file services over the system's wide functions: paths (UTF-8) reach
// the system as UTF-16, whatever its ANSI code page.
#include "fileio/file_ops.h"

#include <windows.h>

#include <cstring>

#include "fileio/code_page.h"
#include "fileio/file_ops_platform.h"
#include "fileio/file_watch.h"
#include "fileio/wide_path.h"

namespace {

// Attributes with which a file cannot be replaced by a move.
constexpr DWORD kUnwritable = FILE_ATTRIBUTE_READONLY;
// Attributes that a file keeps when a new one takes its place: a game's
// hidden or system files stay so.
constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

DWORD AttributesOf(const WidePath& path) {
  if (!path.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesW(path.get());
}

bool IsItselfAt(const WidePath& wide, const char* path, HANDLE handle);

// Sets the attributes of the file at path through a handle of that file
// itself: a link planted at the name (which Wine shows as the file it leads
// to) is refused, never followed, so that no file elsewhere changes.
bool SetAttributes(const WidePath& wide, const char* path, DWORD attributes) {
  if (FailedByWatch(FileCall::kSetAttributes, path, nullptr, attributes)) return false;
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  constexpr DWORD kItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE handle = CreateFileW(wide.get(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                              nullptr, OPEN_EXISTING, kItself, nullptr);
  // Wine opens a read-only file of another user's making for its
  // attributes only; the checked file is then changed by its name.
  bool byHandle = handle != INVALID_HANDLE_VALUE;
  if (!byHandle) {
    handle = CreateFileW(wide.get(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         kItself, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool set = false;
  if (IsItselfAt(wide, path, handle)) {
    FILE_BASIC_INFO info = {};  // times of 0 stay as they are
    info.FileAttributes = attributes;
    set = byHandle ? SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info) != 0
                   : SetFileAttributesW(wide.get(), attributes) != 0;
  } else {
    SetLastError(ERROR_ACCESS_DENIED);
  }
  DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
  return set;
}

MoveOutcome Outcome(DWORD error) {
  return IsBusyError(static_cast<int>(error)) ? MoveOutcome::kBusy : MoveOutcome::kFailed;
}

// Moves source over target, on the disk when it returns; fails while
// either is open without delete sharing (a DiskFile of any mode).
MoveOutcome Move(const WidePath& target, const WidePath& source, const char* targetPath,
                 const char* sourcePath) {
  if (FailedByWatch(FileCall::kMove, targetPath, sourcePath) ||
      !MoveFileExW(source.get(), target.get(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Outcome(GetLastError());
  }
  return MoveOutcome::kDone;
}

// length bytes of a stored name (code page 932) read in the system's ANSI
// code page, as the A functions read them, in UTF-8 in out (size bytes);
// "" when they cannot be read so.
void AnsiReading(const char* part, uint32_t length, char* out, uint32_t size) {
  wchar_t wide[kMaxPathUnits + 1];
  int n = length == 0 ? 0
                      : MultiByteToWideChar(CP_ACP, 0, part, static_cast<int>(length), wide,
                                            static_cast<int>(kMaxPathUnits));
  wide[n > 0 ? n : 0] = L'\0';
  if (n <= 0 || !WideToUtf8(wide, out, size)) out[0] = '\0';
}

// Whether what is at path (or what handle, where given, has open) is a
// file of that name in that folder, not one elsewhere that a link there
// leads to: its final path is its folder's final path and its own name.
bool IsItselfAt(const WidePath& wide, const char* path, HANDLE handle) {
  constexpr DWORD kFinalUnits = 1024;
  wchar_t found[kFinalUnits];
  wchar_t folder[kFinalUnits];
  char folderPath[kPathBufferSize];
  uint32_t folderLength = FolderPartLength(path);
  if (folderLength == 0 || folderLength >= sizeof folderPath) return false;
  std::memcpy(folderPath, path, folderLength);
  folderPath[folderLength] = '\0';
  WidePath wideFolder(folderPath);
  DWORD foundLength = 0;
  if (handle != nullptr) {
    foundLength = GetFinalPathNameByHandleW(handle, found, kFinalUnits, FILE_NAME_NORMALIZED);
    if (foundLength >= kFinalUnits) foundLength = 0;
  } else {
    foundLength = FinalPathOf(wide.get(), FILE_FLAG_OPEN_REPARSE_POINT, found, kFinalUnits);
  }
  DWORD length = wideFolder.ok() ? FinalPathOf(wideFolder.get(), FILE_FLAG_BACKUP_SEMANTICS,
                                               folder, kFinalUnits)
                                 : 0;
  if (foundLength == 0 || length == 0) return false;
  // The folder's final path ends without a separator, but for a root.
  if (folder[length - 1] != L'\\') folder[length++] = L'\\';
  const wchar_t* name = wide.get();
  for (const wchar_t* p = name; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  int nameLength = lstrlenW(name);
  if (length + nameLength != foundLength) return false;
  return CompareStringOrdinal(found, static_cast<int>(length), folder, static_cast<int>(length),
                              TRUE) == CSTR_EQUAL &&
         CompareStringOrdinal(found + length, nameLength, name, nameLength, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool HandleIsItselfAt(void* handle, const char* path) {
  WidePath wide(path);
  BY_HANDLE_FILE_INFORMATION info;
  return wide.ok() && GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         IsItselfAt(wide, path, handle);
}

uint32_t FinalPathOf(const wchar_t* path, uint32_t flags, wchar_t* out, uint32_t size) {
  HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  DWORD n = GetFinalPathNameByHandleW(handle, out, size, FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  return n < size ? n : 0;
}

uint32_t GetProgramPath(char* buffer, uint32_t size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  wchar_t wide[kMaxPathUnits + 1];
  DWORD n = GetModuleFileNameW(nullptr, wide, kMaxPathUnits + 1);
  // A path that filled the whole buffer was cut short (and on older systems
  // is not terminated): it names no file of ours.
  if (n == 0 || n > kMaxPathUnits) return 0;
  wide[n] = L'\0';
  if (!WideToUtf8(wide, buffer, size)) return 0;
  uint32_t length = 0;
  while (buffer[length] != '\0') ++length;
  return length;
}

int IsReplaceable(const char* path) {
  DWORD attributes = AttributesOf(WidePath(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  return (attributes & (kUnwritable | FILE_ATTRIBUTE_DIRECTORY)) == 0 ? 1 : 0;
}

MoveOutcome ReplaceFileContentsOnce(const char* target, const char* newPath, int*) {
  WidePath wideTarget(target);
  WidePath wideNew(newPath);
  DWORD attributes = AttributesOf(wideTarget);
  if (attributes == INVALID_FILE_ATTRIBUTES || !wideNew.ok() ||
      (attributes & (kUnwritable | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return MoveOutcome::kFailed;
  }
  MoveOutcome outcome = Move(wideTarget, wideNew, target, newPath);
  if (outcome == MoveOutcome::kDone) SetAttributes(wideTarget, target, attributes);
  return outcome;
}

int RemoveFile(const char* path) {
  WidePath wide(path);
  return wide.ok() && DeleteFileW(wide.get()) ? 1 : 0;
}

int PathExists(const char* path) {
  return AttributesOf(WidePath(path)) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int MatchExistingNames(char* path, uint32_t size, uint32_t from, const char* storedName) {
  // Where the ANSI code page is 932, both readings are one. A name with a
  // character whose second byte is 0x5C has no ANSI reading elsewhere: an
  // ANSI program there splits it into folders at that byte.
  if (GetACP() == 932 || Cp932HasTrailSeparatorByte(storedName)) return 1;
  char built[kPathBufferSize];
  if (from >= sizeof built) return 1;
  std::memcpy(built, path, from);
  uint32_t length = from;
  bool changed = false;
  // Part by part along the stored name and the path made of it; with no
  // 0x5C inside a character (above), both split alike.
  const char* stored = storedName;
  const char* converted = path + from;
  for (;;) {
    uint32_t storedLength = Cp932PartEnd(stored, 0);
    uint32_t convertedLength = 0;
    while (converted[convertedLength] != '\0' && converted[convertedLength] != '\\') {
      ++convertedLength;
    }
    bool last = stored[storedLength] == '\0';
    if (last != (converted[convertedLength] == '\0')) return 1;
    if (length + convertedLength + 1 >= sizeof built) return 1;
    // The code page 932 name, unless only the ANSI one exists.
    std::memcpy(built + length, converted, convertedLength);
    built[length + convertedLength] = '\0';
    char ansi[kPathBufferSize];
    AnsiReading(stored, storedLength, ansi, sizeof ansi);
    uint32_t ansiLength = static_cast<uint32_t>(std::strlen(ansi));
    uint32_t partLength = convertedLength;
    if (ansiLength != 0 && length + ansiLength + 1 < sizeof built &&
        std::strcmp(ansi, built + length) != 0 && !PathExists(built)) {
      std::memcpy(built + length, ansi, ansiLength + 1);
      if (PathExists(built)) {
        partLength = ansiLength;
        changed = true;
      } else {
        std::memcpy(built + length, converted, convertedLength);
      }
    }
    length += partLength;
    if (last) break;
    built[length++] = '\\';
    stored += storedLength + 1;
    converted += convertedLength + 1;
  }
  built[length] = '\0';
  if (changed && length < size) std::memcpy(path, built, length + 1);
  return 1;
}

MoveOutcome ReplaceWithFileOnce(const char* target, const char* source, int*) {
  WidePath wideTarget(target);
  WidePath wideSource(source);
  if (!wideTarget.ok() || !wideSource.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return MoveOutcome::kFailed;
  }
  DWORD attributes = GetFileAttributesW(wideTarget.get());
  bool existed = attributes != INVALID_FILE_ATTRIBUTES;
  if (existed && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return MoveOutcome::kFailed;
  }
  // A read-only (or hidden or system) target is replaced like any other;
  // between attempts it is as it was.
  bool reset = existed && attributes != FILE_ATTRIBUTE_NORMAL;
  if (reset) SetAttributes(wideTarget, target, FILE_ATTRIBUTE_NORMAL);
  MoveOutcome outcome = Move(wideTarget, wideSource, target, source);
  if (outcome != MoveOutcome::kDone && reset) {
    DWORD error = GetLastError();
    SetAttributes(wideTarget, target, attributes);
    SetLastError(error);
  }
  if (outcome == MoveOutcome::kDone && existed && (attributes & kKept) != 0) {
    DWORD now = GetFileAttributesW(wideTarget.get());
    if (now != INVALID_FILE_ATTRIBUTES) SetAttributes(wideTarget, target, now | (attributes & kKept));
  }
  return outcome;
}

int RemoveLeftover(const char* path) {
  WidePath wide(path);
  if (!wide.ok() || FailedByWatch(FileCall::kRemove, path)) return 0;
  DWORD attributes = GetFileAttributesW(wide.get());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  // Windows removes a link itself, never what it leads to; Wine removes,
  // and shows the attributes of, what a Unix link leads to. So only a file
  // that is itself at path is touched; anything else stays, and the
  // creation that follows fails on it.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsItselfAt(wide, path, nullptr)) return 0;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
      !SetAttributes(wide, path, FILE_ATTRIBUTE_NORMAL)) {
    return 0;
  }
  return DeleteFileW(wide.get()) ? 1 : 0;
}

MoveOutcome MoveAsideOnce(const char* target, const char* newPath) {
  WidePath wideTarget(target);
  WidePath wideNew(newPath);
  if (!wideTarget.ok() || !wideNew.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return MoveOutcome::kFailed;
  }
  // A folder in a file's place is no file that another program holds: it
  // fails at once, never moved.
  DWORD attributes = GetFileAttributesW(wideTarget.get());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return MoveOutcome::kFailed;
  }
  // Without MOVEFILE_REPLACE_EXISTING: whatever has the name stays.
  if (FailedByWatch(FileCall::kMove, newPath, target) ||
      !MoveFileExW(wideTarget.get(), wideNew.get(), MOVEFILE_WRITE_THROUGH)) {
    return Outcome(GetLastError());
  }
  return MoveOutcome::kDone;
}

int LinkAside(const char* target, const char* keptPath) {
  WidePath wideTarget(target);
  WidePath wideKept(keptPath);
  if (!wideTarget.ok() || !wideKept.ok() || FailedByWatch(FileCall::kLink, keptPath, target)) {
    return 0;
  }
  return CreateHardLinkW(wideKept.get(), wideTarget.get(), nullptr) ? 1 : 0;
}

namespace {

HANDLE HandleOf(DiskFile* file) { return reinterpret_cast<HANDLE>(file->SystemHandle()); }

bool IdOf(HANDLE handle, FileId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

MoveOutcome MoveOpenFileOnce(DiskFile* file, const char* ownPath, const char* path, bool replace,
                             int*) {
  if (FailedByWatch(FileCall::kMove, path, ownPath, 1)) return Outcome(GetLastError());
  WidePath wide(path);
  if (!wide.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return MoveOutcome::kFailed;
  }
  // The whole path: the name alone would be taken as relative to the
  // current folder by Wine, and a folder's handle beside it is refused.
  union {
    FILE_RENAME_INFO info;
    char bytes[sizeof(FILE_RENAME_INFO) + kMaxPathUnits * sizeof(wchar_t)];
  } rename;
  DWORD units = static_cast<DWORD>(lstrlenW(wide.get()));
  rename.info.ReplaceIfExists = replace ? TRUE : FALSE;
  rename.info.RootDirectory = nullptr;
  rename.info.FileNameLength = units * sizeof(wchar_t);
  std::memcpy(rename.info.FileName, wide.get(), (units + 1) * sizeof(wchar_t));
  // No write-through flag: a move within one folder is no copy (which is
  // all that MOVEFILE_WRITE_THROUGH waits for).
  if (!SetFileInformationByHandle(HandleOf(file), FileRenameInfo, &rename.info, sizeof rename)) {
    return Outcome(GetLastError());
  }
  return MoveOutcome::kDone;
}

bool HoldEndsBeforeReplacing() { return true; }

uint32_t AttributesForReplacement(uint32_t attributes) {
  if ((attributes & kUnwritable) == 0) return kNoAttributes;
  uint32_t rest = attributes & ~kUnwritable;
  return rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
}

uint32_t NewFileAttributesFor(uint32_t now, uint32_t old, NewAttributes rule) {
  if (rule == NewAttributes::kSameAsOld) return old;
  if ((old & kKept) == 0 || now == kNoAttributes) return kNoAttributes;
  // Its own attributes (archive, as made) and the old file's hidden and
  // system ones.
  return (now & ~static_cast<uint32_t>(FILE_ATTRIBUTE_NORMAL)) | (old & kKept);
}

int SetOpenFileAttributes(DiskFile* file, uint32_t attributes) {
  FILE_BASIC_INFO info = {};  // times of 0 stay as they are
  info.FileAttributes = attributes;
  return SetFileInformationByHandle(HandleOf(file), FileBasicInfo, &info, sizeof info) ? 1 : 0;
}

uint32_t GetOpenFileAttributes(DiskFile* file) {
  BY_HANDLE_FILE_INFORMATION info;
  return file->IsOpen() && GetFileInformationByHandle(HandleOf(file), &info)
             ? info.dwFileAttributes
             : kNoAttributes;
}

int GetOpenFileId(DiskFile* file, FileId* id) {
  return file->IsOpen() && IdOf(HandleOf(file), id) ? 1 : 0;
}

bool NameTaken(int error) { return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS; }

// What Windows answers while another program has the file open (a virus
// scanner looking at a new file, for one): it may work a moment later.
bool IsBusyError(int error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

int GetFileId(const char* path, FileId* id) {
  WidePath wide(path);
  if (!wide.ok()) return -1;
  HANDLE handle = CreateFileW(wide.get(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
  }
  bool ok = IdOf(handle, id);
  CloseHandle(handle);
  return ok ? 1 : -1;
}

uint32_t GetPathAttributes(const char* path) {
  DWORD attributes = AttributesOf(WidePath(path));
  return attributes == INVALID_FILE_ATTRIBUTES ? kNoAttributes : attributes;
}

int SetPathAttributes(const char* path, uint32_t attributes) {
  WidePath wide(path);
  return wide.ok() && SetAttributes(wide, path, attributes) ? 1 : 0;
}

int TakeFoundSpelling(char* path, uint32_t size) {
  WidePath wide(path);
  if (!wide.ok()) return 0;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(wide.get(), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  FindClose(find);
  char name[kPathBufferSize];
  uint32_t folder = FolderPartLength(path);
  if (!WideToUtf8(found.cFileName, name, sizeof name)) return 0;
  uint32_t length = static_cast<uint32_t>(std::strlen(name));
  if (folder + length + 1 > size) return 0;
  std::memcpy(path + folder, name, length + 1);
  return 1;
}

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

void SetSystemError(int code) { SetLastError(static_cast<DWORD>(code)); }

int LastSystemError() { return static_cast<int>(GetLastError()); }

void ClearSystemError() { SetLastError(ERROR_SUCCESS); }
