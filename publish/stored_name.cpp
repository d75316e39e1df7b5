#include "publish/stored_name.h"

#include <cstdio>

#include "fileio/code_page.h"

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

// Whether text is well-formed UTF-8 (no stray continuation bytes, no
// overlong forms, no surrogates, nothing beyond U+10FFFF).
bool IsValidUtf8(const std::string& text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    unsigned c = *p++;
    int more;
    unsigned min;
    if (c < 0x80) continue;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      min = 0x10000;
    } else {
      return false;
    }
    unsigned code = c & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
      if (p >= end || (*p & 0xC0) != 0x80) return false;
      code = code << 6 | (*p++ & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  }
  return true;
}

}  // namespace

bool StoredNameOf(const std::string& utf8, std::string* stored, std::string* error) {
  stored->clear();
  // ASCII is the same in code page 932.
  if (IsAscii(utf8)) {
    *stored = utf8;
    return true;
  }
  // Code page 932 never needs more bytes than UTF-8 for the same text.
  std::string out(utf8.size() + 1, '\0');
  if (!IsValidUtf8(utf8) ||
      !Utf8ToCp932(utf8.c_str(), &out[0], static_cast<uint32_t>(out.size()))) {
    *error = IsValidUtf8(utf8)
                 ? "the name " + utf8 +
                       " cannot be stored: code page 932, which the updater reads names in, "
                       "has no code for one of its characters"
                 : "the name " + Escaped(utf8) + " is not valid UTF-8 text";
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
  if (!Cp932ToUtf8(stored.c_str(), &utf8[0], static_cast<uint32_t>(utf8.size()))) {
    return Escaped(stored);
  }
  utf8.resize(std::char_traits<char>::length(utf8.c_str()));
  return utf8;
}
