// The patterns of --exclude and the names they meet: NameMatches against
// a plain table-filling matcher over the same characters and, for a
// pattern without * and ?, against SameFileName (Windows' letter case);
// and Exclusions over whole paths: a pattern is refused or matches without
// fault, and a file left out by itself is left out as a given path too.
// The whole input as a release's exclusion file: refused with its line
// named, or read as the patterns of its lines, each one as --exclude
// would take it (blank lines, # comments, trailing blanks aside).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileio/name_case.h"
#include "fileio/utf8.h"
#include "publish/releases/exclusions.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Characters as the matcher sees them: code points, those of the first
// plane as Windows' capitals, a byte that is no UTF-8 as a unit of its own
// (kept apart from code points).
std::vector<uint32_t> Units(const std::string& text) {
  std::vector<uint32_t> units;
  for (size_t at = 0; at < text.size();) {
    uint32_t length;
    uint32_t point =
        Utf8Decode(reinterpret_cast<const uint8_t*>(text.data()) + at, text.size() - at, &length);
    if (point == kUtf8Invalid) point = 0x110000 + static_cast<uint8_t>(text[at]);
    if (point < 0x10000) point = WindowsUpcase(static_cast<uint16_t>(point));
    units.push_back(point);
    at += length;
  }
  return units;
}

bool Valid(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    uint32_t length;
    if (Utf8Decode(reinterpret_cast<const uint8_t*>(text.data()) + at, text.size() - at,
                   &length) == kUtf8Invalid) {
      return false;
    }
    at += length;
  }
  return true;
}

bool ReferenceMatch(const std::string& pattern, const std::string& name) {
  std::vector<uint32_t> p = Units(pattern), n = Units(name);
  // matched[j]: the pattern so far matches the first j units of the name.
  std::vector<char> matched(n.size() + 1, 0), next(n.size() + 1);
  matched[0] = 1;
  for (uint32_t unit : p) {
    if (unit == '*') {
      for (size_t j = 1; j <= n.size(); ++j) matched[j] = matched[j] || matched[j - 1];
      continue;
    }
    next[0] = 0;
    for (size_t j = 1; j <= n.size(); ++j) {
      next[j] = matched[j - 1] && (unit == '?' || unit == n[j - 1]);
    }
    matched.swap(next);
  }
  return matched[n.size()] != 0;
}

// The exclusion file's lines, spelt out: the patterns it holds, in order.
std::vector<std::string> FileLines(std::string text) {
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::vector<std::string> lines;
  std::string line;
  for (size_t at = 0; at <= text.size(); ++at) {
    if (at < text.size() && text[at] != '\n') {
      line += text[at];
      continue;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    if (!line.empty() && line[0] != '#') lines.push_back(line);
    line.clear();
  }
  return lines;
}

void CheckExclusionFile(const std::string& text, const std::string& path) {
  static const std::string file = ScratchDir() + "/patchignore";
  if (!WriteWhole(file, text.data(), text.size())) std::abort();
  Exclusions read;
  std::string error;
  if (!read.AddFile(file, "r/.patchignore", &error)) {
    if (error.find("r/.patchignore line ") != 0) std::abort();
    return;
  }
  Exclusions given;
  for (const std::string& line : FileLines(text)) {
    if (line[0] == '!' || !given.Add(line, &error)) std::abort();
  }
  if (!read.GivenPatterns().empty() || read.Describe() != Exclusions().Describe()) std::abort();
  for (bool folder : {false, true}) {
    if (read.Excludes(path, folder) != given.Excludes(path, folder)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 512) return 0;  // the reference fills a table of both lengths
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t split = text.find('\0');
  std::string pattern = text.substr(0, split);
  std::string path = split == std::string::npos ? std::string() : text.substr(split + 1);
  CheckExclusionFile(pattern, path);

  bool matches = NameMatches(pattern, path);
  if (matches != ReferenceMatch(pattern, path)) std::abort();
  // Without wildcards, valid UTF-8 matches as Windows takes names.
  if (pattern.find_first_of(std::string("*?\0", 3)) == std::string::npos &&
      path.find('\0') == std::string::npos && Valid(pattern) && Valid(path) &&
      matches != (SameFileName(pattern.c_str(), path.c_str()) == 1)) {
    std::abort();
  }

  Exclusions exclusions;
  std::string error;
  if (!exclusions.Add(pattern, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  for (bool folder : {false, true}) {
    bool alone = exclusions.Excludes(path, folder);
    if (!folder && alone && !exclusions.ExcludesFile(path)) std::abort();
  }
  return 0;
}
