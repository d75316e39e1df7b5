#include "publish/shared/windows_names.h"

#include <algorithm>

#include "fileio/code_page.h"
#include "fileio/name_case.h"
#include "fileio/utf8.h"
#include "package/hash_list.h"
#include "publish/shared/wording.h"

namespace {

// Lines of files shown under a summary; the rest are counted.
constexpr size_t kMostLines = 50;

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  return out;
}

}  // namespace

std::string WindowsNameKey(const std::string& utf8) {
  std::string key;
  key.reserve(utf8.size());
  const uint8_t* text = reinterpret_cast<const uint8_t*>(utf8.data());
  size_t left = utf8.size();
  while (left != 0) {
    uint32_t length;
    uint32_t point = Utf8Decode(text, left, &length);
    if (point == kUtf8Invalid) return utf8;
    // Beyond the first plane Windows compares surrogates, its own capitals.
    if (point < 0x10000) {
      point = WindowsUpcase(static_cast<uint16_t>(point));
      // No other unit has an ASCII capital (CaseTableTest): small again,
      // they stay one key each.
      if (point >= 'A' && point <= 'Z') point += 'a' - 'A';
    }
    char bytes[4];
    key.append(bytes, Utf8Encode(point, bytes));
    text += length;
    left -= length;
  }
  return key;
}

std::string StoredNameKey(const std::string& stored) {
  std::vector<char> utf8(stored.size() * 3 + 1);
  if (stored.find('\0') == std::string::npos &&
      Cp932ToUtf8(stored.c_str(), utf8.data(), static_cast<uint32_t>(utf8.size()))) {
    // A backslash in the converted text is a separator: the second byte of
    // a character (ソ: 0x83 0x5C) converts with its character.
    std::string key = WindowsNameKey(utf8.data());
    for (char& c : key) {
      if (c == '\\') c = '/';
    }
    return key;
  }
  // 0xFF starts no UTF-8 character.
  std::string key = "\xFF" + stored;
  FoldListName(&key[1], key.size() - 1);
  return key;
}

bool SameStoredFile(const std::string& a, const std::string& b) {
  return StoredNameKey(a) == StoredNameKey(b);
}

std::vector<std::vector<size_t>> TwinGroups(const std::vector<std::string>& keys) {
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&keys](size_t a, size_t b) { return keys[a] < keys[b]; });
  std::vector<std::vector<size_t>> groups;
  for (size_t i = 0; i < order.size();) {
    size_t end = i + 1;
    while (end < order.size() && keys[order[end]] == keys[order[i]]) ++end;
    if (end - i > 1) groups.emplace_back(order.begin() + i, order.begin() + end);
    i = end;
  }
  return groups;
}

std::string TwinsText(const std::string& lead, const std::vector<std::vector<std::string>>& groups,
                      const std::string& remedy) {
  const std::string rule = " (letter case does not count there): ";
  if (groups.size() == 1) {
    return lead + " " + Joined(groups[0]) + ", which are one file on Windows" + rule + remedy;
  }
  std::string out = lead + " " + std::to_string(groups.size()) +
                    " files under more than one name each, which Windows takes for one" + rule +
                    remedy + ":";
  const std::string line = std::string(1, kLineBreak) + "  ";
  for (size_t i = 0; i < groups.size() && i < kMostLines; ++i) out += line + Joined(groups[i]);
  if (groups.size() > kMostLines) {
    out += line + "and " + std::to_string(groups.size() - kMostLines) + " more";
  }
  return out;
}

void AddTwinFaults(const std::vector<std::vector<std::string>>& groups, const std::string& remedy,
                   std::vector<FileFault>* faults) {
  for (const std::vector<std::string>& group : groups) {
    for (size_t i = 0; i < group.size(); ++i) {
      std::vector<std::string> others = group;
      others.erase(others.begin() + static_cast<std::ptrdiff_t>(i));
      faults->push_back({group[i], fault::kOneFile,
                         "one file on Windows with " + Joined(others) +
                             " (letter case does not count there): " + remedy});
    }
  }
}

std::string TwinFaultsSummary(const std::string& lead,
                              const std::vector<std::vector<std::string>>& groups,
                              const std::string& remedy) {
  size_t names = 0;
  for (const std::vector<std::string>& group : groups) names += group.size();
  return lead + " " + CountText(names, "name", "names") + " that are " +
         CountText(groups.size(), "file", "files") +
         " on Windows (letter case does not count there): " + remedy;
}
