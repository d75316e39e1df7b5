// The toolkit's file services on Windows, through the system's wide
// functions (paths are UTF-8 inside): error texts, file identities, folder
// listings, the console.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "fileio/file_ops_platform.h"
#include "fileio/file_watch.h"
#include "fileio/toolkit/console.h"
#include "fileio/toolkit/path_info.h"
#include "fileio/toolkit/system_error.h"
#include "fileio/wide_path.h"

namespace {

// Owns a handle of CreateFile or FindFirstFile.
class Handle {
 public:
  Handle(HANDLE handle, bool find) : handle_(handle), find_(find) {}
  ~Handle() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    if (find_) {
      FindClose(handle_);
    } else {
      CloseHandle(handle_);
    }
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
  bool find_;
};

std::string Utf8Of(const wchar_t* wide) {
  std::vector<char> out(wcslen(wide) * 3 + 1);
  if (!WideToUtf8(wide, out.data(), static_cast<uint32_t>(out.size()))) return std::string();
  return out.data();
}

bool IsConsole(FILE* stream) {
  DWORD mode = 0;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

}  // namespace

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

Utf8Console::Utf8Console() {
  if (IsConsole(stdout) || IsConsole(stderr)) {
    previous_ = GetConsoleOutputCP();
    if (!SetConsoleOutputCP(CP_UTF8)) previous_ = 0;
  }
}

Utf8Console::~Utf8Console() {
  if (previous_ != 0) SetConsoleOutputCP(previous_);
}

std::string SystemErrorText(int code) {
  if (code == 0) return std::string();
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0,
                           reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result = n != 0 && text != nullptr ? Utf8Of(text) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\r' || result.back() == '\n' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result.empty() ? "system error " + std::to_string(code) : result;
}

bool GetPathInfo(const std::string& path, PathInfo* info) {
  *info = PathInfo();
  WidePath wide(path.c_str());
  if (!wide.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  // No access asked: opens files in use and folders alike.
  Handle file(CreateFileW(wide.get(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
              false);
  BY_HANDLE_FILE_INFORMATION data;
  if (!file.ok() || !GetFileInformationByHandle(file.get(), &data)) return false;
  info->exists = true;
  info->folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info->size = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
  info->volume = data.dwVolumeSerialNumber;
  info->index = uint64_t{data.nFileIndexHigh} << 32 | data.nFileIndexLow;
  return true;
}

bool ListFolder(const std::string& folder, std::vector<FolderItem>* items, std::string* error) {
  items->clear();
  WidePath pattern((folder + "\\*").c_str());
  if (!pattern.ok()) {
    *error = "cannot read the folder " + folder + ": " +
             SystemErrorText(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  WIN32_FIND_DATAW data;
  Handle find(FindFirstFileW(pattern.get(), &data), true);
  if (!find.ok()) {
    *error = "cannot read the folder " + folder + ": " + SystemErrorText(GetLastError());
    return false;
  }
  do {
    std::string name = Utf8Of(data.cFileName);
    if (name == "." || name == "..") continue;
    if (name.empty()) {
      *error = "cannot read a name in the folder " + folder + ": it is not valid Unicode";
      return false;
    }
    FolderItem item;
    item.name = name;
    item.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    item.size = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
    items->push_back(item);
  } while (FindNextFileW(find.get(), &data));
  DWORD code = GetLastError();
  if (code != ERROR_NO_MORE_FILES) {
    *error = "cannot read the folder " + folder + ": " + SystemErrorText(code);
    return false;
  }
  std::sort(items->begin(), items->end(),
            [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
  return true;
}

char NativeSeparator() { return '\\'; }

std::string ShownPath(const std::string& path) { return path; }

bool RenameToFreshName(const std::string& from, const std::string& to) {
  WidePath wideFrom(from.c_str());
  WidePath wideTo(to.c_str());
  if (!wideFrom.ok() || !wideTo.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (FailedByWatch(FileCall::kMove, to.c_str(), from.c_str())) return false;
  return MoveFileW(wideFrom.get(), wideTo.get()) != 0;
}

bool RemoveOwnLeftover(const std::string& path, const std::string& start) {
  WidePath wide(path.c_str());
  if (!wide.ok()) return false;
  {
    // Shared with nobody: fails while any program has the file open (a
    // running patchtool writing it, or reading it back).
    Handle file(CreateFileW(wide.get(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
                false);
    BY_HANDLE_FILE_INFORMATION data;
    if (!file.ok() || !GetFileInformationByHandle(file.get(), &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return false;
    }
    uint64_t size = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
    if (size != 0) {
      std::string head(start.size(), '\0');
      DWORD n = 0;
      if (head.empty() || !ReadFile(file.get(), &head[0], static_cast<DWORD>(head.size()), &n,
                                    nullptr) ||
          n == 0 || head.compare(0, n, start, 0, n) != 0 || (n != start.size() && n != size)) {
        return false;
      }
    }
  }
  // Removes only a file that is itself at path (Wine shows a Unix link as
  // the file it leads to), which that check finds by the path's folder.
  std::string named = NameStart(path) == 0 ? ".\\" + path : path;
  return RemoveLeftover(named.c_str()) == 1;
}

size_t NameStart(const std::string& path) {
  // UTF-8: no byte of a character is a separator.
  size_t colon = path.find_last_of("\\/:");
  return colon == std::string::npos ? 0 : colon + 1;
}

bool IsLink(const std::string& path) {
  WidePath wide(path.c_str());
  if (!wide.ok()) return false;
  DWORD attributes = GetFileAttributesW(wide.get());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool CreateFolder(const std::string& path) {
  WidePath wide(path.c_str());
  if (!wide.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return CreateDirectoryW(wide.get(), nullptr) != 0;
}

bool RemoveEmptyFolder(const std::string& path) {
  WidePath wide(path.c_str());
  return wide.ok() && RemoveDirectoryW(wide.get()) != 0;
}

bool FreeSpaceOf(const std::string& folder, uint64_t* bytes) {
  WidePath wide(folder.empty() ? "." : folder.c_str());
  ULARGE_INTEGER available;
  if (!wide.ok() || !GetDiskFreeSpaceExW(wide.get(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

bool IsExistsError(int code) { return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS; }

bool IsInUseError(int code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}
