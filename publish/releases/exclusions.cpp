#include "publish/releases/exclusions.h"

#include "fileio/disk_file.h"
#include "fileio/name_case.h"
#include "fileio/utf8.h"

namespace {

// An exclusion file holds patterns: a larger one is no such file.
constexpr uint32_t kMostExclusionBytes = 1u << 20;

// The names that editors and file managers leave in folders, never the
// game's: Windows' thumbnail cache and folder settings, macOS's folder
// settings, and editors' backups.
const char* const kDefaultNames[] = {"Thumbs.db", "desktop.ini", ".DS_Store", "*~"};

std::vector<std::string> Parts(const std::string& path) {
  std::vector<std::string> parts(1);
  for (char c : path) {
    if (c == '/' || c == '\\') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// A character as Windows compares file names, letter case aside
// (fileio/name_case.h): its capital, for every letter of the first plane
// that has one; characters beyond it are compared exactly there.
uint32_t Folded(uint32_t point) {
  return point < 0x10000 ? WindowsUpcase(static_cast<uint16_t>(point)) : point;
}

// One character of text at `at`: its code point (folded), or the byte
// where the text is no UTF-8 there, so that every name can be matched.
uint32_t CharacterAt(const std::string& text, size_t at, uint32_t* length) {
  uint32_t point =
      Utf8Decode(reinterpret_cast<const uint8_t*>(text.data()) + at, text.size() - at, length);
  if (point == kUtf8Invalid) return 0x110000 + static_cast<uint8_t>(text[at]);
  return Folded(point);
}

}  // namespace

bool NameMatches(const std::string& pattern, const std::string& name) {
  // The usual greedy match with one point to return to: the last `*` and
  // where in the name it stopped taking characters.
  size_t p = 0, n = 0;
  size_t starP = std::string::npos, starN = 0;
  while (n < name.size()) {
    uint32_t nameLength;
    uint32_t c = CharacterAt(name, n, &nameLength);
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starN = n;
      continue;
    }
    if (p < pattern.size()) {
      uint32_t patternLength;
      uint32_t want = CharacterAt(pattern, p, &patternLength);
      if (pattern[p] == '?' || want == c) {
        p += patternLength;
        n += nameLength;
        continue;
      }
    }
    if (starP == std::string::npos) return false;
    // Let the last `*` take one more character and try again from there.
    CharacterAt(name, starN, &nameLength);
    starN += nameLength;
    n = starN;
    p = starP;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool Exclusions::Add(const std::string& text, std::string* error) {
  return AddPattern(text, "", error);
}

bool Exclusions::AddFile(const std::string& path, const std::string& shown, std::string* error) {
  DiskFile file;
  uint32_t size = 0;
  if (!file.OpenRead(path.c_str()) || (size = file.GetSize()) == kSizeUnknown) {
    *error = "cannot read the exclusion file " + shown;
    return false;
  }
  if (size > kMostExclusionBytes) {
    *error = "the exclusion file " + shown + " is " + std::to_string(size) + " bytes long; " +
             "it holds patterns, one a line, and is taken whole only up to " +
             std::to_string(kMostExclusionBytes) + " bytes";
    return false;
  }
  std::string text(size, '\0');
  if (size != 0 && file.Read(&text[0], size) != size) {
    *error = "cannot read the exclusion file " + shown + " in full";
    return false;
  }
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // the mark editors put first
  size_t number = 0;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') continue;
    const std::string source = shown + " line " + std::to_string(number);
    if (line[0] == '!') {
      *error = source + ": " + line + ": a pattern that takes files back (!) is not " +
               "supported here: leave out only what is no part of the game";
      return false;
    }
    if (!AddPattern(line, source, error)) return false;
  }
  return true;
}

std::vector<std::string> Exclusions::GivenPatterns() const {
  std::vector<std::string> given;
  for (const Pattern& pattern : patterns_) {
    if (pattern.source.empty()) given.push_back(pattern.text);
  }
  return given;
}

bool Exclusions::AddPattern(const std::string& text, const std::string& source,
                            std::string* error) {
  Pattern pattern;
  pattern.text = text;
  pattern.source = source;
  std::string body = text;
  if (!body.empty() && (body.back() == '/' || body.back() == '\\')) {
    pattern.foldersOnly = true;
    body.pop_back();
  }
  if (!body.empty() && (body.front() == '/' || body.front() == '\\')) {
    pattern.anywhere = false;
    body.erase(0, 1);
  }
  pattern.parts = Parts(body);
  if (pattern.parts.size() > 1) pattern.anywhere = false;
  for (const std::string& part : pattern.parts) {
    if (part.empty() || part == "." || part == "..") {
      *error = (source.empty() ? "--exclude " : source + ": ") + text +
               ": a pattern names files and folders by their path in the release folder; it "
               "holds no empty part, . or .. (data/*.psd, Thumbs.db, work/)";
      return false;
    }
  }
  patterns_.push_back(pattern);
  return true;
}

bool Exclusions::Matches(const Pattern& pattern, const std::vector<std::string>& parts,
                         bool folder) const {
  if (pattern.foldersOnly && !folder) return false;
  if (pattern.anywhere) return NameMatches(pattern.parts[0], parts.back());
  if (pattern.parts.size() != parts.size()) return false;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!NameMatches(pattern.parts[i], parts[i])) return false;
  }
  return true;
}

bool Exclusions::Excludes(const std::string& relative, bool folder) const {
  std::vector<std::string> parts = Parts(relative);
  if (defaults_ && !folder) {
    for (const char* name : kDefaultNames) {
      if (NameMatches(name, parts.back())) return true;
    }
  }
  for (const Pattern& pattern : patterns_) {
    if (Matches(pattern, parts, folder)) return true;
  }
  return false;
}

std::string Exclusions::Reason(const std::string& relative, bool folder) const {
  std::vector<std::string> parts = Parts(relative);
  if (defaults_ && !folder) {
    for (const char* name : kDefaultNames) {
      if (NameMatches(name, parts.back())) return std::string("a default name (") + name + ")";
    }
  }
  for (const Pattern& pattern : patterns_) {
    if (!Matches(pattern, parts, folder)) continue;
    return (pattern.source.empty() ? "--exclude " : pattern.source + ": ") + pattern.text;
  }
  return std::string();
}

bool Exclusions::ExcludesFile(const std::string& relative) const {
  std::vector<std::string> parts = Parts(relative);
  std::string path;
  for (size_t i = 0; i < parts.size(); ++i) {
    path += (i == 0 ? "" : "/") + parts[i];
    if (Excludes(path, i + 1 < parts.size())) return true;
  }
  return false;
}

std::string Exclusions::Describe() const {
  std::string out;
  if (defaults_) out = "Thumbs.db, desktop.ini, .DS_Store, names ending in ~";
  for (const Pattern& pattern : patterns_) {
    if (!pattern.source.empty()) continue;  // the files are named by the command
    out += (out.empty() ? "--exclude " : ", --exclude ") + pattern.text;
  }
  return out;
}
