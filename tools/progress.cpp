#include "tools/progress.h"

#include <cstdio>

#include "fileio/toolkit/console.h"

TerminalProgress::TerminalProgress() : enabled_(StderrIsTerminal()) {}

void TerminalProgress::Stage(const std::string& text) {
  stage_ = text;
  percent_ = -1;
  Show(stage_);
}

void TerminalProgress::Bytes(uint64_t done, uint64_t total) {
  int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
  if (percent == percent_) return;
  percent_ = percent;
  Show(stage_ + "  " + std::to_string(percent) + "%");
}

ProgressSink ProgressOf(TerminalProgress* line) {
  ProgressSink sink;
  sink.context = line;
  sink.stage = [](void* context, const std::string& text) {
    static_cast<TerminalProgress*>(context)->Stage(text);
  };
  sink.bytes = [](void* context, uint64_t done, uint64_t total) {
    static_cast<TerminalProgress*>(context)->Bytes(done, total);
  };
  return sink;
}

void TerminalProgress::Show(const std::string& line) {
  if (!enabled_) return;
  std::string padded = line;
  if (padded.size() < width_) padded.append(width_ - padded.size(), ' ');
  width_ = line.size();
  std::fprintf(stderr, "\r%s", padded.c_str());
  std::fflush(stderr);
}

void TerminalProgress::Clear() {
  if (!enabled_ || width_ == 0) return;
  std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
  std::fflush(stderr);
  width_ = 0;
}
