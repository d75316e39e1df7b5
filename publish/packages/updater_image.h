// The check of the program that carries a package, the same as the build
// makes of updater.exe: a PE32 program for i386 with the Windows GUI
// subsystem, importing only system DLLs, whose image ends below offset
// 65536 where the package begins. The x86_64 test twin (PE32+ for x86-64)
// passes only when the caller accepts it: it is for tests and never shipped.
#pragma once

#include <cstdint>
#include <string>

#include "fileio/disk_file.h"

struct UpdaterImage {
  bool twin = false;       // the PE32+ x86-64 test twin
  uint32_t imageEnd = 0;   // where the headers and sections end in the file
  bool isSigned = false;   // a certificate table is set
};

// Checks the image at the start of a file open for reading (a stub, or a
// patch whose package follows at 65536). False with *problem, a phrase such
// as "is not a Windows program (no MZ header)", for the caller to put after
// the file's name.
bool CheckUpdaterImage(DiskFile& file, bool acceptTwin, UpdaterImage* image,
                       std::string* problem);

// The stub for pack and make: an updater image that is the whole file, ends
// below 65536 and is unsigned. *error names the stub and the problem.
bool CheckUpdaterStub(const std::string& path, bool acceptTwin, UpdaterImage* image,
                      std::string* error);

// What a patch built on a twin stub is, for the warning that goes with it.
extern const char kTwinStubWarning[];
