// A progress sink for the tests that records the stages a command
// announces ("comparing ...", "writing ..."): a stage that never came
// shows that its work was not begun.
#pragma once

#include <string>
#include <vector>

#include "publish/shared/progress_sink.h"

struct StageRecorder {
  std::vector<std::string> stages;
  ProgressSink sink;

  StageRecorder() {
    sink.context = &stages;
    sink.stage = [](void* context, const std::string& text) {
      static_cast<std::vector<std::string>*>(context)->push_back(text);
    };
  }
  StageRecorder(const StageRecorder&) = delete;
  StageRecorder& operator=(const StageRecorder&) = delete;
};
