#include "publish/packages/stored_name.h"

#include <cstdio>

#include "fileio/cp932_table.h"
#include "fileio/utf8.h"
#include "package/hash_list.h"
#include "publish/packages/composition.h"

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// "〜 (U+301C)"; a control character or a combining mark, which would
// sit on the character before it, by its number alone.
std::string Character(uint32_t point) {
  std::string code = "U+" + Hex(point, 4);
  if (point < 0x20 || (point >= 0x7F && point <= 0x9F)) return "the control character " + code;
  if (IsCombiningMark(point)) return "the combining mark " + code;
  char utf8[4];
  uint32_t n = Utf8Encode(point, utf8);
  return std::string(utf8, n) + " (" + code + ")";
}

// "byte 0x5C", "bytes 0x83 0x5C".
std::string Bytes(uint32_t code) {
  if (code <= 0xFF) return "byte 0x" + Hex(code, 2);
  return "bytes 0x" + Hex(code >> 8, 2) + " 0x" + Hex(code & 0xFF, 2);
}

// The character that Windows reads for the stored bytes code, or kCp932None.
uint32_t DecodeCode(uint32_t code) {
  uint8_t bytes[2] = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
  uint32_t length;
  return code <= 0xFF ? Cp932Decode(bytes + 1, 1, &length) : Cp932Decode(bytes, 2, &length);
}

// Why code page 932 cannot hold the character, and what to do.
std::string NotInCp932(uint32_t point) {
  std::string text = Character(point) + " is not in code page 932";
  uint32_t alike = Cp932LookAlike(point);
  uint32_t read = alike == kCp932None ? kCp932None : DecodeCode(alike);
  if (read == kCp932None) return text + ": rename the file";
  text += "; Windows reads " + Bytes(alike) + " as " + Character(read);
  if (read == '\\') return text + ", the folder separator: rename the file";
  if (read < 0x80) return text + ": rename the file";
  return text + ": write " + Character(read) + " instead";
}

// A name written decomposed (base, then a combining mark), as macOS writes
// names: the composed character to write instead, and the whole name so.
std::string DecomposedText(uint32_t base, uint32_t mark, const std::string& utf8) {
  uint32_t composed = ComposedOf(base, mark);
  char glyph[4];
  std::string text = Character(base) + " followed by " + Character(mark) + " is " +
                     std::string(glyph, Utf8Encode(composed, glyph)) +
                     " written decomposed (macOS); ";
  if (Cp932Encode(composed) == kCp932None) {
    return text + "composed, " + Character(composed) +
           " is not in code page 932 either: rename the file";
  }
  text += Character(composed) + " is accepted";
  // The hint only: the file keeps its name until the publisher renames it.
  std::string whole = ComposedText(utf8), stored, ignored;
  if (StoredNameOf(whole, &stored, &ignored)) return text + ": rename it to " + whole;
  return text + ": rename the file";
}

// The part of stored that holds offset: between separators.
std::string PartAt(const std::string& stored, uint32_t offset, uint32_t length) {
  return ShownName(stored.substr(offset, length));
}

}  // namespace

std::string NameFaultText(const std::string& stored, const NameFaultAt& at) {
  const std::string shown = ShownName(stored);
  switch (at.fault) {
    case kNameValid:
      return std::string();
    case kNameEmptyPart:
      return "the name " + shown +
             (stored.empty() ? " is empty"
                             : " has an empty part (a backslash at its start or end, or two in "
                               "a row)");
    case kNameTrailingDotOrSpace: {
      std::string part = PartAt(stored, at.offset, at.length);
      std::string kept = part;
      while (!kept.empty() && (kept.back() == '.' || kept.back() == ' ')) kept.pop_back();
      return "\"" + part + "\" ends in " + (part.back() == '.' ? "a dot" : "a space") +
             ", which Windows strips: it would write \"" + kept +
             "\" instead, another file: rename it";
    }
    case kNameDevice:
      return PartAt(stored, at.offset, at.length) +
             " is a device name to Windows (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, "
             "with any extension), which opens the device, not a file: rename it";
    case kNameReservedCharacter: {
      char c = stored[at.offset];
      if (c == '/') {
        return "the name " + shown + " holds /, which is no separator in a stored name and "
               "cannot stand in a Windows file name: separate folders with \\";
      }
      return std::string(1, c) + " cannot stand in a Windows file name (nor < > : \" | ? * /): "
             "rename it";
    }
    case kNameControlCharacter: {
      uint32_t code = static_cast<uint8_t>(stored[at.offset]);
      uint32_t point = at.length == 1 ? DecodeCode(code) : kCp932None;
      if (point == kCp932None) point = code;
      return Character(point) + " cannot stand in a Windows file name: rename it";
    }
    case kNameNotCp932: {
      uint32_t code = static_cast<uint8_t>(stored[at.offset]);
      if (at.length == 2) code = code << 8 | static_cast<uint8_t>(stored[at.offset + 1]);
      uint32_t point = DecodeCode(code);
      if (point == kCp932None) {
        return "the " + Bytes(code) + " in the name " + shown +
               " are no code page 932 character";
      }
      return "the " + Bytes(code) + " in the name " + shown + " read as " + Character(point) +
             ", which Windows writes as " + Bytes(Cp932Encode(point)) +
             ": the name would not match itself once converted; store it with those bytes";
    }
  }
  return "the name " + shown + " breaks the name rule";
}

bool CheckStoredNameText(const std::string& stored, std::string* error) {
  NameFaultAt at;
  if (stored.find('\0') != std::string::npos) {
    *error = "the name " + ShownName(stored) + " holds a NUL byte";
    return false;
  }
  if (CheckStoredName(stored.c_str(), &at) == kNameValid) return true;
  *error = NameFaultText(stored, at);
  return false;
}

bool StoredNameOf(const std::string& utf8, std::string* stored, std::string* error) {
  stored->clear();
  const uint8_t* text = reinterpret_cast<const uint8_t*>(utf8.data());
  uint32_t previous = 0;
  for (size_t at = 0; at < utf8.size();) {
    uint32_t length;
    uint32_t point = Utf8Decode(text + at, utf8.size() - at, &length);
    if (point == kUtf8Invalid) {
      *error = "the name " + Escaped(utf8) + " is not valid UTF-8 text";
      return false;
    }
    uint32_t code = point == 0 ? kCp932None : Cp932Encode(point);
    if (code == kCp932None) {
      if (point == 0) {
        *error = "the name " + Escaped(utf8) + " holds a NUL byte";
      } else if (ComposedOf(previous, point) != 0) {
        *error = DecomposedText(previous, point, utf8);
      } else {
        *error = NotInCp932(point);
      }
      return false;
    }
    if (code > 0xFF) *stored += static_cast<char>(code >> 8);
    *stored += static_cast<char>(code & 0xFF);
    previous = point;
    at += length;
  }
  return CheckStoredNameText(*stored, error);
}

bool StoredPartOf(const std::string& utf8, std::string* stored, std::string* error) {
  if (utf8.find('\\') != std::string::npos) {
    stored->clear();
    *error = "the name " + Escaped(utf8) +
             " holds \\, which Windows takes for the folder separator: rename it";
    return false;
  }
  return StoredNameOf(utf8, stored, error);
}

std::string ShownName(const std::string& stored) {
  // Half-width katakana take one byte in code page 932 and three in UTF-8.
  std::string out;
  const uint8_t* text = reinterpret_cast<const uint8_t*>(stored.data());
  for (size_t at = 0; at < stored.size();) {
    uint32_t length;
    uint32_t point = Cp932Decode(text + at, stored.size() - at, &length);
    char utf8[4];
    uint32_t n = point == kCp932None || point < 0x20 || (point >= 0x7F && point <= 0x9F)
                     ? 0
                     : Utf8Encode(point, utf8);
    if (n == 0) {
      out += Escaped(stored.substr(at, length));
    } else {
      out.append(utf8, n);
    }
    at += length;
  }
  return out;
}

std::string FoldedStoredName(const std::string& stored) {
  std::string folded = stored;
  FoldListName(&folded[0], folded.size());
  return folded;
}
