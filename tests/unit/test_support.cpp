#include "tests/unit/test_support.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <thread>
#endif

namespace {

#ifdef _WIN32
// Paths are UTF-8, as everywhere in the system; the wide functions take
// them as UTF-16, whatever the ANSI code page.
std::wstring Native(const std::string& path) {
  std::wstring wide(path.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0],
                              static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) - 1 : 0);
  return wide;
}
std::string Utf8Of(const wchar_t* wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &out[0], n, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}
FILE* OpenFile(const std::string& path, const char* mode) {
  std::wstring wideMode(mode, mode + std::strlen(mode));  // ASCII
  return _wfopen(Native(path).c_str(), wideMode.c_str());
}
#else
std::string Native(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}
FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(Native(path).c_str(), mode);
}
#endif

void RemoveTree(const std::string& path) {
#ifdef _WIN32
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(Native(path + "\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = Utf8Of(found.cFileName);
      if (name == "." || name == "..") continue;
      std::string child = path + "\\" + name;
      SetFileAttributesW(Native(child).c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileW(Native(child).c_str());
      }
    } while (FindNextFileW(h, &found));
    FindClose(h);
  }
  RemoveDirectoryW(Native(path).c_str());
#else
  std::string native = Native(path);
  if (DIR* dir = opendir(native.c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      std::string child = native + "/" + name;
      struct stat st;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        chmod(child.c_str(), 0700);
        RemoveTree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(native.c_str());
#endif
}

}  // namespace

TempDir::TempDir() {
#ifdef _WIN32
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  static unsigned serial = 0;
  for (;;) {
    char name[64];
    std::snprintf(name, sizeof name, "upd%lu_%u", GetCurrentProcessId(), ++serial);
    std::string path = Utf8Of(base) + name;
    if (CreateDirectoryW(Native(path).c_str(), nullptr)) {
      path_ = path;
      break;
    }
  }
#else
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base ? base : "/tmp") + "/upd.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) std::abort();
  path_ = buf.data();
#endif
}

TempDir::~TempDir() { RemoveTree(path_); }

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

bool WriteFileBytes(const std::string& path, const Bytes& data) {
  FILE* f = OpenFile(path, "wb");
  if (f == nullptr) return false;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

bool WriteFileText(const std::string& path, const std::string& text) {
  return WriteFileBytes(path, ToBytes(text));
}

bool ReadFileBytes(const std::string& path, Bytes* data) {
  FILE* f = OpenFile(path, "rb");
  if (f == nullptr) return false;
  data->clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data->insert(data->end(), chunk, chunk + n);
  std::fclose(f);
  return true;
}

std::string ReadFileText(const std::string& path) {
  Bytes data;
  if (!ReadFileBytes(path, &data)) return "<missing>";
  return std::string(data.begin(), data.end());
}

bool FileExists(const std::string& path) {
#ifdef _WIN32
  return GetFileAttributesW(Native(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat st;
  return stat(Native(path).c_str(), &st) == 0;
#endif
}

bool MakeDir(const std::string& path) {
#ifdef _WIN32
  return CreateDirectoryW(Native(path).c_str(), nullptr) != 0;
#else
  return mkdir(Native(path).c_str(), 0777) == 0;
#endif
}

bool PutFileMakingFolders(const std::string& dir, const std::string& name, const Bytes& data) {
  size_t start = 0;
  for (size_t slash; (slash = name.find('\\', start)) != std::string::npos; start = slash + 1) {
    MakeDir(dir + "\\" + name.substr(0, slash));
  }
  return WriteFileBytes(dir + "\\" + name, data);
}

bool RemoveEmptyDir(const std::string& path) {
#ifdef _WIN32
  return RemoveDirectoryW(Native(path).c_str()) != 0;
#else
  return rmdir(Native(path).c_str()) == 0;
#endif
}

bool SetReadOnly(const std::string& path, bool readOnly) {
#ifdef _WIN32
  return SetFileAttributesW(Native(path).c_str(),
                            readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL) != 0;
#else
  return chmod(Native(path).c_str(), readOnly ? 0444 : 0644) == 0;
#endif
}

bool IsReadOnly(const std::string& path) {
#ifdef _WIN32
  DWORD attributes = GetFileAttributesW(Native(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
#else
  struct stat st;
  return stat(Native(path).c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
#endif
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
#ifdef _WIN32
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(Native(path + "\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = Utf8Of(found.cFileName);
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(h, &found));
    FindClose(h);
  }
#else
  if (DIR* dir = opendir(Native(path).c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
#endif
  std::sort(names.begin(), names.end());
  return names;
}

bool ReadOnlyIsEnforced() {
  TempDir dir;
  std::string probe = dir / "probe";
  if (!WriteFileText(probe, "x") || !SetReadOnly(probe, true)) return false;
  FILE* f = OpenFile(probe, "wb");
  bool enforced = f == nullptr;
  if (f != nullptr) std::fclose(f);
  SetReadOnly(probe, false);
  return enforced;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 11);
  }
  return out;
}

bool MakeSizedFile(const std::string& path, uint64_t size) {
#ifdef _WIN32
  HANDLE h = CreateFileW(Native(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(size);
  bool ok = SetFilePointerEx(h, distance, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  return ok;
#else
  if (!WriteFileBytes(path, Bytes())) return false;
  return truncate(Native(path).c_str(), static_cast<off_t>(size)) == 0;
#endif
}

bool OverwriteFileBytes(const std::string& path, uint64_t offset, const Bytes& data) {
#ifdef _WIN32
  HANDLE h = CreateFileW(Native(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  DWORD written = 0;
  bool ok = SetFilePointerEx(h, distance, nullptr, FILE_BEGIN) &&
            WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
            written == data.size();
  CloseHandle(h);
  return ok;
#else
  int fd = open(Native(path).c_str(), O_WRONLY);
  if (fd < 0) return false;
  bool ok = pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) ==
            static_cast<ssize_t>(data.size());
  close(fd);
  return ok;
#endif
}

bool DeleteTestFile(const std::string& path) {
#ifdef _WIN32
  return DeleteFileW(Native(path).c_str()) != 0;
#else
  return unlink(Native(path).c_str()) == 0;
#endif
}

int OpenAsAnotherProgram(const std::string& path, OtherAccess access) {
#ifdef _WIN32
  DWORD asked = access == OtherAccess::kRead    ? GENERIC_READ
                : access == OtherAccess::kWrite ? GENERIC_WRITE
                                                : DELETE;
  HANDLE handle = CreateFileW(Native(path).c_str(), asked,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  CloseHandle(handle);
  return 0;
#else
  if (access == OtherAccess::kDelete) return 0;
  bool reading = access == OtherAccess::kRead;
  int fd = open(Native(path).c_str(), (reading ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = flock(fd, (reading ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0 ? 0 : errno;
  close(fd);
  return error;
#endif
}

bool MoveTestFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExW(Native(from).c_str(), Native(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return rename(Native(from).c_str(), Native(to).c_str()) == 0;
#endif
}

int64_t FileSize(const std::string& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Native(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
#else
  struct stat st;
  if (stat(Native(path).c_str(), &st) != 0) return -1;
  return st.st_size;
#endif
}

// Creates nested folders under base so that the whole path is exactly
// length bytes long. Returns "" when a folder cannot be made.
std::string MakeFolderOfLength(const std::string& base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    size_t rest = length - path.size();  // '\' + name, at least 2 bytes
    if (rest < 2) return "";
    size_t name = rest - 1 > 100 ? 100 : rest - 1;
    if (rest - 1 - name == 1) --name;  // leave room for one more '\' + name
    path += "\\" + std::string(name, 'd');
    if (!MakeDir(path)) return "";
  }
  return path;
}

#ifdef _WIN32
namespace {

// The Unix name of a path under Wine (HeapFree it), or null elsewhere.
char* UnixNameOf(const std::string& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  return unixName != nullptr ? unixName(Native(path).c_str()) : nullptr;
}

// Starts a Unix program under Wine, which gives no handle to wait on and
// hands it its command line split at blanks.
bool RunUnixProgram(const wchar_t* program, std::wstring commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  bool started = CreateProcessW(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &info) != 0;
  if (info.hThread != nullptr) CloseHandle(info.hThread);
  if (info.hProcess != nullptr) CloseHandle(info.hProcess);
  return started;
}

}  // namespace
#endif

bool MakeSymbolicLink(const std::string& linkPath, const std::string& target) {
#ifdef _WIN32
  // Wine's CreateSymbolicLinkW makes nothing; the Unix ln makes a link of
  // the file system beneath, which Wine shows as the file it leads to: it
  // is there once that file is seen through it.
  if (!FileExists(target)) return false;
  char* unixLink = UnixNameOf(linkPath);
  char* unixTarget = UnixNameOf(target);
  bool started = unixLink != nullptr && unixTarget != nullptr &&
                 RunUnixProgram(L"Z:\\usr\\bin\\ln",
                                L"ln -s " + Native(unixTarget) + L" " + Native(unixLink));
  if (unixLink != nullptr) HeapFree(GetProcessHeap(), 0, unixLink);
  if (unixTarget != nullptr) HeapFree(GetProcessHeap(), 0, unixTarget);
  for (int i = 0; started && i < 1000; ++i) {
    if (FileExists(linkPath)) return true;
    Sleep(10);
  }
  return false;
#else
  return symlink(Native(target).c_str(), Native(linkPath).c_str()) == 0;
#endif
}

bool MakeHardLink(const std::string& linkPath, const std::string& target) {
#ifdef _WIN32
  return CreateHardLinkW(Native(linkPath).c_str(), Native(target).c_str(), nullptr) != 0;
#else
  return link(Native(target).c_str(), Native(linkPath).c_str()) == 0;
#endif
}

bool RemoveSymbolicLink(const std::string& linkPath) {
#ifdef _WIN32
  // Free once the name can be created anew (Wine shows a link that leads
  // nowhere as nothing at all, but the Unix name is still taken).
  auto nameIsFree = [&linkPath] {
    HANDLE probe = CreateFileW(Native(linkPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(probe);
    return DeleteFileW(Native(linkPath).c_str()) != 0;
  };
  // Nothing there: no rm is started, for it would run late, as a program
  // of its own, and remove what the caller puts at the name next.
  if (nameIsFree()) return true;
  bool started = false;
  if (char* unixLink = UnixNameOf(linkPath)) {
    std::wstring commandLine = L"rm -f " + Native(unixLink);
    started = RunUnixProgram(L"Z:\\usr\\bin\\rm", commandLine);
    HeapFree(GetProcessHeap(), 0, unixLink);
  }
  for (int i = 0; started && i < 1000; ++i) {
    if (nameIsFree()) return true;
    Sleep(10);
  }
  return false;
#else
  return unlink(Native(linkPath).c_str()) == 0 || errno == ENOENT;
#endif
}

struct FileHolder::State {
#ifdef _WIN32
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE thread = nullptr;
  DWORD delay = 0;

  void Release() {
    HANDLE held = InterlockedExchangePointer(&file, INVALID_HANDLE_VALUE);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  }
  static DWORD WINAPI ReleaseLater(void* context) {
    State* self = static_cast<State*>(context);
    Sleep(self->delay);
    self->Release();
    return 0;
  }
#else
  int fd = -1;
  std::thread thread;

  void Release() {
    int held = __atomic_exchange_n(&fd, -1, __ATOMIC_SEQ_CST);
    if (held >= 0) close(held);
  }
#endif
};

FileHolder::~FileHolder() {
  if (state_ == nullptr) return;
#ifdef _WIN32
  if (state_->thread != nullptr) {
    WaitForSingleObject(state_->thread, INFINITE);
    CloseHandle(state_->thread);
  }
#else
  if (state_->thread.joinable()) state_->thread.join();
#endif
  state_->Release();
  delete state_;
}

bool FileHolder::Hold(const std::string& path) {
  if (state_ == nullptr) state_ = new State;
#ifdef _WIN32
  state_->file = CreateFileW(Native(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return state_->file != INVALID_HANDLE_VALUE;
#else
  state_->fd = open(Native(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (state_->fd < 0) return false;
  if (flock(state_->fd, LOCK_SH | LOCK_NB) != 0) {
    state_->Release();
    return false;
  }
  return true;
#endif
}

bool FileHolder::HoldForWriting(const std::string& path) {
  if (state_ == nullptr) state_ = new State;
#ifdef _WIN32
  state_->file = CreateFileW(Native(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return state_->file != INVALID_HANDLE_VALUE;
#else
  state_->fd = open(Native(path).c_str(), O_RDWR | O_CLOEXEC);
  if (state_->fd < 0) return false;
  if (flock(state_->fd, LOCK_EX | LOCK_NB) != 0) {
    state_->Release();
    return false;
  }
  return true;
#endif
}

void FileHolder::Release() {
  if (state_ != nullptr) state_->Release();
}

bool FileHolder::ReleaseAfter(uint32_t milliseconds) {
  if (state_ == nullptr) return false;
#ifdef _WIN32
  state_->delay = milliseconds;
  state_->thread = CreateThread(nullptr, 0, &State::ReleaseLater, state_, 0, nullptr);
  return state_->thread != nullptr;
#else
  State* state = state_;
  state_->thread = std::thread([state, milliseconds] {
    struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
    state->Release();
  });
  return true;
#endif
}

std::string SmallVolume() {
  const char* volume = std::getenv("UPD_TEST_SMALL_VOLUME");
  if (volume == nullptr) return std::string();
  std::string path = volume;
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;  // Wine's Unix root
#endif
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

std::string ShownLines(std::string message) {
  for (char& c : message) {
    if (c == '\0') c = '\n';
  }
  return message;
}

std::string FoldedAsListsFoldIt(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    if (lead && i + 1 < name.size() && name[i + 1] != '\0') {
      out += name.substr(i, 2);
      ++i;
    } else {
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : name[i];
    }
  }
  return out;
}

CountedBytes::CountedBytes() {
  sink.context = this;
  sink.bytes = [](void* context, uint64_t done, uint64_t total) {
    static_cast<CountedBytes*>(context)->done = done;
    static_cast<CountedBytes*>(context)->total = total;
  };
}

Tree TreeBelow(const std::string& folder, const std::string& prefix) {
  Tree tree;
  for (const std::string& name : ListDir(folder)) {
    std::string path = folder + "\\" + name;
    std::vector<std::string> inner = ListDir(path);
    if (!inner.empty() || !FileExists(path)) {
      tree[prefix + name] = "<folder>";
      Tree below = TreeBelow(path, prefix + name + "\\");
      tree.insert(below.begin(), below.end());
    } else {
      tree[prefix + name] = ReadFileText(path);
    }
  }
  return tree;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
