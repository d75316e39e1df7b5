// The file layer's watch (fileio/file_watch.h) in the unit tests: every
// watched call recorded, chosen ones failed, pauses counted instead of
// waited for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fileio/file_watch.h"

// The system's error codes for a file that another program has open
// (what makes a move wait and try again), and for a failure that is not
// that.
int BusyError();
int OtherError();

// One call that the file layer's watch saw.
struct SeenCall {
  FileCall call;
  std::string path;   // "" where the layer gave none
  std::string other;  // the new file of a move
  uint32_t value;
};

// Watches the file layer while it lives: records every watched call and
// every pause between the attempts of a move, and fails the calls that
// `fail` says (with the error code it returns; 0 lets the call run).
// Pauses are not waited for unless realPauses is set; onPause, when set,
// runs at each of them (to let a held file go, say).
class CallRecorder {
 public:
  explicit CallRecorder(bool realPauses = false);
  ~CallRecorder();
  CallRecorder(const CallRecorder&) = delete;
  CallRecorder& operator=(const CallRecorder&) = delete;

  // Decides each call's fate; seen is the call, index its place in calls.
  std::function<int(const SeenCall& seen, size_t index)> fail;
  std::function<void(size_t pauseIndex)> onPause;

  std::vector<SeenCall> calls;
  std::vector<uint32_t> pauses;  // milliseconds

  size_t Count(FileCall call) const;
  uint32_t TotalPause() const;

 private:
  static int Before(void* context, FileCall call, const char* path, const char* other,
                    uint32_t value);
  static void Pause(void* context, uint32_t milliseconds);
  bool realPauses_;
  FileWatch watch_;
};

