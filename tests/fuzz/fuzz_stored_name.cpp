// Stored names and their code page 932 conversion: the bytes as a stored
// name (the updater's rule and conversion), and as UTF-8 text (the
// toolkit's). A name the rule accepts converts to one text and back to the
// very same bytes; a name the toolkit stores keeps the rule and shows as
// the text it came from. Composing a name written decomposed (macOS) is
// done once and for all.
// The bytes after the first NUL are a second name: two names are one file
// on Windows alike both ways round, whatever their bytes, exactly when
// their keys are equal, and stored names exactly when their texts are.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileio/code_page.h"
#include "fileio/name_case.h"
#include "package/name_rule.h"
#include "publish/packages/composition.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/windows_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string name = text.substr(0, text.find('\0'));

  NameFaultAt at;
  NameFault fault = CheckStoredName(name.c_str(), &at);
  if (fault != at.fault) std::abort();
  if (fault != kNameValid) {
    if (at.offset > name.size() || at.length > name.size() - at.offset) std::abort();
    if (NameFaultText(name, at).empty()) std::abort();
  } else {
    // 3 UTF-8 bytes at most per code page 932 byte.
    std::string utf8(name.size() * 3 + 1, '\0');
    std::string back(name.size() + 1, '\0');
    if (Cp932ToUtf8(name.c_str(), &utf8[0], static_cast<uint32_t>(utf8.size())) != 1) std::abort();
    if (Utf8ToCp932(utf8.c_str(), &back[0], static_cast<uint32_t>(back.size())) != 1) std::abort();
    if (std::strcmp(back.c_str(), name.c_str()) != 0) std::abort();
    if (ShownName(name) != utf8.c_str()) std::abort();
  }

  std::string stored, error;
  if (StoredNameOf(name, &stored, &error)) {
    if (CheckStoredName(stored.c_str(), nullptr) != kNameValid) std::abort();
    if (ShownName(stored) != name) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  std::string composed = ComposedText(name);
  if (ComposedText(composed) != composed) std::abort();

  std::string other = name.size() < text.size() ? text.substr(name.size() + 1) : "";
  other = other.substr(0, other.find('\0'));
  int same = SameFileName(name.c_str(), other.c_str());
  if (same != SameFileName(other.c_str(), name.c_str()) || SameFileName(name.c_str(), name.c_str()) != 1) {
    std::abort();
  }
  if ((WindowsNameKey(name) == WindowsNameKey(other)) != (same == 1)) std::abort();
  std::string utf8(name.size() * 3 + 1, '\0'), otherUtf8(other.size() * 3 + 1, '\0');
  if (Cp932ToUtf8(name.c_str(), &utf8[0], static_cast<uint32_t>(utf8.size())) &&
      Cp932ToUtf8(other.c_str(), &otherUtf8[0], static_cast<uint32_t>(otherUtf8.size())) &&
      SameStoredFile(name, other) != (SameFileName(utf8.c_str(), otherUtf8.c_str()) == 1)) {
    std::abort();
  }
  return 0;
}
