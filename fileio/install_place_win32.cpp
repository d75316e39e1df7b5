// The install folder on Windows. A folder or file is what its path says
// when its final path (the system's own name for what a handle reaches)
// is the install folder's final path and the path's parts: a link or a
// junction reaches another place, and an 8.3 alias is not the name that
// the final path gives. Wine shows Unix links so: their handles are those
// of what they lead to, whose final path is elsewhere.
#include "fileio/install_place.h"

#include <windows.h>

#include "fileio/file_ops_platform.h"
#include "fileio/wide_path.h"

namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Whether final (length units) is base (baseLength units), one backslash,
// and the parts (partsLength units), in any letter case, as the system
// compares names.
bool IsBelow(const wchar_t* final, DWORD length, const wchar_t* base, uint32_t baseLength,
             const wchar_t* parts, uint32_t partsLength) {
  return length == baseLength + 1 + partsLength && final[baseLength] == L'\\' &&
         CompareStringOrdinal(final, static_cast<int>(baseLength), base,
                              static_cast<int>(baseLength), TRUE) == CSTR_EQUAL &&
         CompareStringOrdinal(final + baseLength + 1, static_cast<int>(partsLength), parts,
                              static_cast<int>(partsLength), TRUE) == CSTR_EQUAL;
}

}  // namespace

int InstallPlace::OpenFolder() {
  WidePath wide(folder_);
  if (!wide.ok()) return 0;
  // Followed, where the install folder lies behind a link. Listing access
  // without delete sharing: the folder cannot be renamed or removed while
  // it is held (an open for attributes only would not keep anybody away).
  HANDLE handle = CreateFileW(wide.get(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD n = GetFinalPathNameByHandleW(handle, final_, kFinalUnits, FILE_NAME_NORMALIZED);
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || n == 0 || n >= kFinalUnits) {
    CloseHandle(handle);
    return 0;
  }
  // A root's final path ends with its separator; the parts below add one.
  if (final_[n - 1] == L'\\') --n;
  finalLength_ = n;
  folderUnits_ = static_cast<uint32_t>(lstrlenW(wide.get()));
  install_ = reinterpret_cast<intptr_t>(handle);
  return 1;
}

void InstallPlace::Close() {
  for (uint32_t i = 0; i < heldCount_; ++i) CloseHandle(AsHandle(held_[i].handle));
  heldCount_ = 0;
  if (install_ != kClosed) CloseHandle(AsHandle(install_));
  install_ = kClosed;
}

int InstallPlace::Hold(intptr_t handle, uint32_t volume, uint32_t indexHigh,
                       uint32_t indexLow) {
  for (uint32_t i = 0; i < heldCount_; ++i) {
    if (held_[i].volume == volume && held_[i].indexHigh == indexHigh &&
        held_[i].indexLow == indexLow) {
      CloseHandle(AsHandle(handle));  // held already
      return 1;
    }
  }
  if (heldCount_ == kMaxHeldFolders) {  // more folders than an update has
    CloseHandle(AsHandle(handle));
    return 0;
  }
  held_[heldCount_++] = {handle, volume, indexHigh, indexLow};
  return 1;
}

int InstallPlace::CheckBelow(const char* target, bool hold) {
  WidePath wide(target);
  if (!wide.ok()) return 0;
  wchar_t path[kMaxPathUnits + 1];
  lstrcpynW(path, wide.get(), kMaxPathUnits + 1);
  wchar_t found[kFinalUnits];

  // The path written to starts with the install folder's: it must still
  // lead to the folder that Open found (a link to it may have been
  // repointed since).
  path[folderUnits_] = L'\0';
  DWORD n = FinalPathOf(path, FILE_FLAG_BACKUP_SEMANTICS, found, kFinalUnits);
  if (n != 0 && found[n - 1] == L'\\') --n;
  if (n != finalLength_ ||
      CompareStringOrdinal(found, static_cast<int>(n), final_, static_cast<int>(n), FALSE) !=
          CSTR_EQUAL) {
    return 0;
  }
  path[folderUnits_] = L'\\';

  wchar_t* const parts = path + folderUnits_ + 1;
  for (wchar_t* end = parts; *end != L'\0'; ++end) {
    if (*end != L'\\') continue;
    // Each folder on the way, itself, not what a link or junction there
    // leads to: a real folder whose final path is the install folder's and
    // the parts so far. Held without delete sharing once it passes.
    *end = L'\0';
    HANDLE handle =
        CreateFileW(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                    nullptr);
    *end = L'\\';
    if (handle == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    n = GetFinalPathNameByHandleW(handle, found, kFinalUnits, FILE_NAME_NORMALIZED);
    bool real = GetFileInformationByHandle(handle, &info) &&
                (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                    FILE_ATTRIBUTE_DIRECTORY &&
                n < kFinalUnits &&
                IsBelow(found, n, final_, finalLength_, parts, static_cast<uint32_t>(end - parts));
    if (!real || !hold) {
      CloseHandle(handle);
      if (!real) return 0;
      continue;
    }
    if (!Hold(reinterpret_cast<intptr_t>(handle), info.dwVolumeSerialNumber,
              info.nFileIndexHigh, info.nFileIndexLow)) {
      return 0;
    }
  }

  // The target, where it exists: a plain file, reached by its own name.
  // (Wine shows a Unix link to nothing as nothing at all.)
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return 0;
  n = FinalPathOf(path, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, found,
                  kFinalUnits);
  return IsBelow(found, n, final_, finalLength_, parts, static_cast<uint32_t>(lstrlenW(parts)))
             ? 1
             : 0;
}
