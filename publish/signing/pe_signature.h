// Toolkit only: finds the Authenticode certificate table of a Windows
// program (PE) file, entry 4 of its optional header's data directories.
// Its presence is what makes a file signed; whether the signature holds is
// for the signing engine to say (patch_signing.h).
#pragma once

#include <cstdint>
#include <string>

#include "fileio/disk_file.h"

enum PeSignatureStatus {
  kPeNotPe,     // no MZ/PE headers, or too short to hold them
  kPeUnsigned,  // a PE whose certificate table entry is empty
  kPeSigned,    // a PE whose certificate table entry is set
};

struct PeSignature {
  PeSignatureStatus status = kPeNotPe;
  // The certificate table as the data directory gives it: a file offset
  // (not an RVA) and a size. Both zero unless signed.
  uint32_t tableOffset = 0;
  uint32_t tableSize = 0;
  // Whether the table lies wholly inside the file.
  bool tableInFile = false;
};

// Reads the headers of a file open for reading. A PE whose optional header
// is too short to hold the certificate table entry counts as unsigned.
PeSignature ReadPeSignature(DiskFile& file);
// The same for a file by path; false when it cannot be opened.
bool ReadPeSignatureOf(const std::string& path, PeSignature* out);
