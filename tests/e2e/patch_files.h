// Patches for the real runs: packing with the toolkit program, and reading
// back where each entry lies so that tests can damage a patch on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/test_support.h"

struct PatchEntry {
  std::string name;
  uint32_t offset = 0;  // from the data base
  uint32_t size = 0;
};

struct PatchLayout {
  uint32_t count = 0;
  uint32_t dataBase = 0;  // file offset of the data area
  std::vector<PatchEntry> entries;

  // File offset of entry i's first data byte.
  uint32_t DataAt(size_t i) const { return dataBase + entries[i].offset; }
};

constexpr uint32_t kPackageOffset = 65536;

// Reads the header and directory of the package in patch; false when the
// bytes do not hold them.
bool ReadPatchLayout(const Bytes& patch, PatchLayout* layout);
// The data of entry i.
Bytes EntryData(const Bytes& patch, const PatchLayout& layout, size_t i);

// Runs patchtool.exe with the given arguments, its output going to logPath;
// returns its exit code, or -1 when it could not be run.
long RunPatchtool(const std::wstring& patchtool, const std::wstring& arguments,
                  const std::string& logPath);
