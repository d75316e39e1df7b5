// `make demo`: runs a packed updater and reports each of its boxes (caption,
// text, buttons, icon) to a UTF-8 report file as it appears, then the exit
// code. Headless it answers Yes (and OK); with a display the user answers
// the real boxes and the demo only watches.
#pragma once

#include <string>

struct DemoOptions {
  std::wstring patch;   // the packed updater to run
  std::wstring report;  // appended to, line by line
  std::wstring probe;   // probe DLL, for the icon; may be empty
  bool answer = true;   // false: leave the boxes to the user
};

// Returns 0 when the updater ran to its end, 1 otherwise.
int RunDemo(const DemoOptions& options);
