// Where long toolkit work reports its progress; the command line shows it
// on a terminal. Either callback may be absent.
#pragma once

#include <cstdint>
#include <string>

struct ProgressSink {
  void* context = nullptr;
  // A new stage begins ("reading patch.exe").
  void (*stage)(void* context, const std::string& text) = nullptr;
  // done of total bytes of the stage are handled.
  void (*bytes)(void* context, uint64_t done, uint64_t total) = nullptr;

  void Stage(const std::string& text) const {
    if (stage != nullptr) stage(context, text);
  }
  void Bytes(uint64_t done, uint64_t total) const {
    if (bytes != nullptr) bytes(context, done, total);
  }
};

// Counts the bytes done of a stage and tells a sink, if any.
struct ByteCounter {
  const ProgressSink* sink = nullptr;
  uint64_t done = 0;
  uint64_t total = 0;

  void Advance(uint64_t bytes) {
    done += bytes;
    if (sink != nullptr) sink->Bytes(done, total);
  }
};
