// flushed_copy [--sum] DEST_FOLDER [SOURCE...]: copies each source file
// into the folder, as a careful Win32 program does: a new file, the data
// through one 4 MiB buffer (ReadFile, WriteFile), FlushFileBuffers, close.
// The baseline of `patchtool.exe apply` under Wine (scripts/bench-apply.py),
// whose file layer writes and flushes each file in the same way. --sum also
// takes the content checksum of each block before writing it, as the apply
// does: the same work in the same order, without the update's own steps.
// With no source it copies nothing: its run is then the start-up alone.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "package/content_sum.h"

namespace {

constexpr DWORD kBlock = 4u << 20;

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (ok()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

class Buffer {
 public:
  Buffer() : data_(VirtualAlloc(nullptr, kBlock, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
  ~Buffer() {
    if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  void* get() const { return data_; }

 private:
  void* data_;
};

int Fail(const char* step, const wchar_t* path) {
  std::fprintf(stderr, "flushed_copy: %s %ls: error %lu\n", step, path, GetLastError());
  return 1;
}

// The last part of a path, after its last slash or backslash.
const wchar_t* BaseName(const wchar_t* path) {
  const wchar_t* base = path;
  for (const wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/') base = p + 1;
  }
  return base;
}

int CopyOne(const wchar_t* source, const std::wstring& target, void* buffer, bool sum) {
  Handle in(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.ok()) return Fail("open", source);
  Handle out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.ok()) return Fail("create", target.c_str());
  ContentSum content;  // the apply compares it with its list; here it is only taken
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), buffer, kBlock, &got, nullptr)) return Fail("read", source);
    if (got == 0) break;
    if (sum) UpdateContentSum(&content, buffer, got);
    DWORD put = 0;
    if (!WriteFile(out.get(), buffer, got, &put, nullptr) || put != got) {
      return Fail("write", target.c_str());
    }
  }
  if (!FlushFileBuffers(out.get())) return Fail("flush", target.c_str());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool sum = argc > 1 && std::wcscmp(argv[1], L"--sum") == 0;
  int first = sum ? 2 : 1;
  if (argc <= first) {
    std::fprintf(stderr, "usage: flushed_copy [--sum] DEST_FOLDER [SOURCE...]\n");
    return 2;
  }
  Buffer buffer;
  if (buffer.get() == nullptr) return Fail("allocate", L"buffer");
  for (int i = first + 1; i < argc; ++i) {
    std::wstring target = argv[first];
    target += L'\\';
    target += BaseName(argv[i]);
    if (CopyOne(argv[i], target, buffer.get(), sum) != 0) return 1;
  }
  return 0;
}
