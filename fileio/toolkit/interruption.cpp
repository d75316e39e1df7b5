#include "fileio/toolkit/interruption.h"

#include <cstdlib>

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"

void WaitAtTestGate() {
  const char* gate = std::getenv("PATCHTOOL_TEST_GATE");
  if (gate == nullptr || *gate == '\0') return;
  DiskFile marker;
  if (!marker.OpenWrite(gate)) return;
  marker.Close();
  while (PathExists(gate)) PauseMilliseconds(20);
}
