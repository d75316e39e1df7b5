#include "package/name_rule.h"

#include "fileio/code_page.h"

namespace {

constexpr char kSeparator = '\\';

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

// Whether the part's base (before its first dot, trailing spaces dropped)
// is a name that Windows takes for a device.
bool IsDeviceName(const char* part, uint32_t length) {
  uint32_t base = 0;
  while (base < length && part[base] != '.') ++base;
  while (base > 0 && part[base - 1] == ' ') --base;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    uint32_t i = 0;
    while (i < base && device[i] != '\0' && Upper(part[i]) == device[i]) ++i;
    if (i == base && device[i] == '\0') return true;
  }
  if (base != 4 || part[3] < '1' || part[3] > '9') return false;
  char a = Upper(part[0]), b = Upper(part[1]), c = Upper(part[2]);
  return (a == 'C' && b == 'O' && c == 'M') || (a == 'L' && b == 'P' && c == 'T');
}

bool IsReserved(uint8_t b) {
  for (const char* p = "<>:\"|?*/"; *p != '\0'; ++p) {
    if (b == static_cast<uint8_t>(*p)) return true;
  }
  return false;
}

NameFault Fault(NameFaultAt* at, NameFault fault, uint32_t offset, uint32_t length) {
  if (at != nullptr) {
    at->fault = fault;
    at->offset = offset;
    at->length = length;
  }
  return fault;
}

// Checks the part from start to end (exclusive) as a whole.
NameFault CheckPart(const char* name, uint32_t start, uint32_t end, NameFaultAt* at) {
  uint32_t length = end - start;
  if (length == 0) return Fault(at, kNameEmptyPart, start, 0);
  char last = name[end - 1];
  if (last == '.' || last == ' ') return Fault(at, kNameTrailingDotOrSpace, start, length);
  if (IsDeviceName(name + start, length)) return Fault(at, kNameDevice, start, length);
  return kNameValid;
}

}  // namespace

NameFault CheckStoredName(const char* name, NameFaultAt* at) {
  if (at != nullptr) *at = NameFaultAt();
  uint32_t partStart = 0;
  uint32_t i = 0;
  for (;;) {
    uint8_t b = static_cast<uint8_t>(name[i]);
    if (b == 0 || b == kSeparator) {
      NameFault fault = CheckPart(name, partStart, i, at);
      if (fault != kNameValid || b == 0) return fault;
      partStart = ++i;
      continue;
    }
    // One character: one byte, or a lead byte and the next one.
    uint32_t length = Cp932IsLeadByte(b) && name[i + 1] != '\0' ? 2 : 1;
    if (length == 1 && (b < 0x20 || b == 0x7F)) {
      return Fault(at, kNameControlCharacter, i, 1);
    }
    if (length == 1 && IsReserved(b)) return Fault(at, kNameReservedCharacter, i, 1);
    uint32_t unit = Cp932RoundTripUnit(name + i, length);
    if (unit == kCp932None) return Fault(at, kNameNotCp932, i, length);
    if (unit >= 0x80 && unit <= 0x9F) return Fault(at, kNameControlCharacter, i, length);
    i += length;
  }
}
