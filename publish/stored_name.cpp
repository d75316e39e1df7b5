#include "publish/stored_name.h"

#include <cstdio>

#include "fileio/code_page.h"
#include "publish/local_text.h"

namespace {

bool IsAscii(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x80) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

}  // namespace

bool StoredNameOf(const std::string& local, std::string* stored, std::string* error) {
  stored->clear();
  // ASCII is the same in every code page the toolkit meets.
  if (IsAscii(local)) {
    *stored = local;
    return true;
  }
  std::string utf8;
  if (!LocalToUtf8(local, &utf8)) {
    *error = "the name " + Escaped(local) + " is not valid text in this system's encoding";
    return false;
  }
  // Code page 932 never needs more bytes than UTF-8 for the same text.
  std::string out(utf8.size() + 1, '\0');
  if (!Utf8ToCp932(utf8.c_str(), &out[0], static_cast<uint32_t>(out.size()))) {
    *error = "the name " + local +
             " cannot be stored: code page 932, which the updater reads names in, has no "
             "code for one of its characters";
    return false;
  }
  out.resize(std::char_traits<char>::length(out.c_str()));
  *stored = out;
  return true;
}

std::string ShownName(const std::string& stored) {
  if (IsAscii(stored)) return stored;
  // Half-width katakana take one byte in code page 932 and three in UTF-8.
  std::string utf8(stored.size() * 3 + 1, '\0');
  std::string local;
  if (!Cp932ToUtf8(stored.c_str(), &utf8[0], static_cast<uint32_t>(utf8.size()))) {
    return Escaped(stored);
  }
  utf8.resize(std::char_traits<char>::length(utf8.c_str()));
  if (!Utf8ToLocal(utf8, &local)) return Escaped(stored);
  return local;
}
