// The toolkit's Windows side: errors, file identities, folder listings, and
// the ANSI code page, through UTF-16.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <algorithm>

#include "publish/console.h"
#include "publish/local_text.h"
#include "publish/path_info.h"
#include "publish/system_error.h"

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

// Converts between a code page and UTF-16; false on any character that the
// target cannot hold (no best fit, no default character).
bool ToWide(UINT codePage, const std::string& text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(),
                              static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  wide->resize(static_cast<size_t>(n));
  return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), &(*wide)[0], n) == n;
}

bool FromWide(UINT codePage, const std::wstring& wide, std::string* text) {
  text->clear();
  if (wide.empty()) return true;
  DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL replaced = FALSE;
  BOOL* replacedOut = codePage == CP_UTF8 ? nullptr : &replaced;
  int n = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, replacedOut);
  if (n <= 0 || replaced) return false;
  text->resize(static_cast<size_t>(n));
  n = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                          &(*text)[0], n, nullptr, replacedOut);
  return n > 0 && !replaced;
}

}  // namespace

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

int CurrentSystemError() { return static_cast<int>(GetLastError()); }
void ClearSystemError() { SetLastError(0); }

std::string SystemErrorText(int code) {
  if (code == 0) return std::string();
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text),
                           0, nullptr);
  std::string result = n != 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\r' || result.back() == '\n' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result.empty() ? "system error " + std::to_string(code) : result;
}

bool GetPathInfo(const std::string& path, PathInfo* info) {
  *info = PathInfo();
  // No access asked: opens files in use and folders alike.
  Handle file(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
  WIN32_FIND_DATAA data;
  Handle find(FindFirstFileA((folder + "\\*").c_str(), &data), true);
  if (!find.ok()) {
    *error = "cannot read the folder " + folder + ": " + SystemErrorText(GetLastError());
    return false;
  }
  do {
    std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    FolderItem item;
    item.name = name;
    item.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    item.size = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
    items->push_back(item);
  } while (FindNextFileA(find.get(), &data));
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

// Through UTF-16, so that names mean the same whatever the system's ANSI
// code page is.
bool LocalToUtf8(const std::string& local, std::string* utf8) {
  std::wstring wide;
  return ToWide(CP_ACP, local, &wide) && FromWide(CP_UTF8, wide, utf8);
}

bool Utf8ToLocal(const std::string& utf8, std::string* local) {
  std::wstring wide;
  return ToWide(CP_UTF8, utf8, &wide) && FromWide(CP_ACP, wide, local);
}

bool AnythingAt(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RenameToFreshName(const std::string& from, const std::string& to) {
  return MoveFileA(from.c_str(), to.c_str()) != 0;
}

size_t NameStart(const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '\\' || c == '/' || c == ':') {
      start = i + 1;
    } else if (IsDBCSLeadByte(static_cast<BYTE>(c)) && i + 1 < path.size()) {
      ++i;  // its trail byte may be 0x5C
    }
  }
  return start;
}
