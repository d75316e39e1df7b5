// Program images built field by field for the tests: an updater-like PE32
// GUI program for i386 (or its x86-64 twin) with a code section and an
// import section, and the fields that the stub check looks at set as asked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/package_fixture.h"

struct ProgramShape {
  bool twin = false;                 // PE32+ for x86-64
  uint16_t machine = 0;              // 0: the format's own
  uint16_t subsystem = 2;            // Windows GUI
  uint16_t characteristics = 0x0102; // an executable image, 32-bit words
  std::vector<std::string> imports = {"KERNEL32.dll", "USER32.dll"};
  uint32_t tableOffset = 0;          // the certificate table entry
  uint32_t tableSize = 0;
  uint32_t lastSectionSize = 0x200;  // raw size of the import section
  size_t size = 0x800;               // the file, at least the image
};

inline void PutLe16(Bytes* out, size_t at, uint16_t v) {
  (*out)[at] = static_cast<uint8_t>(v);
  (*out)[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline Bytes BuildProgram(const ProgramShape& shape) {
  constexpr size_t kPe = 0x80;
  constexpr size_t kOptional = kPe + 24;
  const size_t optionalSize = shape.twin ? 240 : 224;
  const size_t directories = kOptional + (shape.twin ? 112 : 96);
  Bytes out(shape.size > 0x800 ? shape.size : 0x800, 0);
  out[0] = 'M';
  out[1] = 'Z';
  PutLe32(&out, 0x3C, kPe);
  out[kPe] = 'P';
  out[kPe + 1] = 'E';
  PutLe16(&out, kPe + 4, shape.machine != 0 ? shape.machine : (shape.twin ? 0x8664 : 0x14C));
  PutLe16(&out, kPe + 6, 2);
  PutLe16(&out, kPe + 20, static_cast<uint16_t>(optionalSize));
  PutLe16(&out, kPe + 22, shape.characteristics);
  PutLe16(&out, kOptional, shape.twin ? 0x20B : 0x10B);
  PutLe32(&out, kOptional + 60, 0x400);  // SizeOfHeaders
  PutLe16(&out, kOptional + 68, shape.subsystem);
  PutLe32(&out, directories - 4, 16);
  if (!shape.imports.empty()) {
    PutLe32(&out, directories + 8, 0x2000);
    PutLe32(&out, directories + 12, static_cast<uint32_t>(20 * (shape.imports.size() + 1)));
  }
  PutLe32(&out, directories + 32, shape.tableOffset);
  PutLe32(&out, directories + 36, shape.tableSize);
  // .text at 0x400, the import section at 0x600.
  const size_t sections = kOptional + optionalSize;
  const char* names[2] = {".text", ".idata"};
  const uint32_t values[2][4] = {{0x200, 0x1000, 0x200, 0x400},
                                 {0x200, 0x2000, shape.lastSectionSize, 0x600}};
  for (int i = 0; i < 2; ++i) {
    size_t at = sections + 40 * i;
    for (size_t c = 0; names[i][c] != '\0'; ++c) out[at + c] = static_cast<uint8_t>(names[i][c]);
    for (int f = 0; f < 4; ++f) PutLe32(&out, at + 8 + 4 * f, values[i][f]);
  }
  out[0x400] = 0xC3;  // ret
  // Import descriptors, then the DLL names behind them.
  size_t nameAt = 0x700;
  for (size_t i = 0; i < shape.imports.size(); ++i) {
    PutLe32(&out, 0x600 + 20 * i + 12, static_cast<uint32_t>(0x2000 + (nameAt - 0x600)));
    for (char c : shape.imports[i]) out[nameAt++] = static_cast<uint8_t>(c);
    out[nameAt++] = 0;
  }
  return out;
}
