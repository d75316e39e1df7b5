// Progress of a long command on the terminal: one line on stderr,
// rewritten in place, and cleared before anything else is printed. Through
// a pipe or into a file nothing is shown.
#pragma once

#include <cstdint>
#include <string>

#include "publish/shared/progress_sink.h"

class TerminalProgress {
 public:
  TerminalProgress();
  ~TerminalProgress() { Clear(); }
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;

  bool shown() const { return enabled_; }
  // Starts a stage: its text, then the percentage as bytes are done.
  void Stage(const std::string& text);
  void Bytes(uint64_t done, uint64_t total);
  void Clear();


 private:
  void Show(const std::string& line);

  bool enabled_;
  std::string stage_;
  int percent_ = -1;
  size_t width_ = 0;
};

// A sink that shows the toolkit's progress on line.
ProgressSink ProgressOf(TerminalProgress* line);
