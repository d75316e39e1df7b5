#include "tests/unit/call_recorder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <time.h>
#endif

int BusyError() {
#ifdef _WIN32
  return ERROR_SHARING_VIOLATION;
#else
  return EWOULDBLOCK;
#endif
}

int OtherError() {
#ifdef _WIN32
  return ERROR_WRITE_FAULT;
#else
  return EIO;
#endif
}

CallRecorder::CallRecorder(bool realPauses) : realPauses_(realPauses) {
  watch_.context = this;
  watch_.before = &CallRecorder::Before;
  watch_.pause = &CallRecorder::Pause;
  SetFileWatch(&watch_);
}

CallRecorder::~CallRecorder() { SetFileWatch(nullptr); }

size_t CallRecorder::Count(FileCall call) const {
  size_t n = 0;
  for (const SeenCall& seen : calls) n += seen.call == call ? 1 : 0;
  return n;
}

uint32_t CallRecorder::TotalPause() const {
  uint32_t total = 0;
  for (uint32_t pause : pauses) total += pause;
  return total;
}

int CallRecorder::Before(void* context, FileCall call, const char* path, const char* other,
                         uint32_t value) {
  CallRecorder* self = static_cast<CallRecorder*>(context);
  self->calls.push_back({call, path != nullptr ? path : "", other != nullptr ? other : "", value});
  return self->fail ? self->fail(self->calls.back(), self->calls.size() - 1) : 0;
}

void CallRecorder::Pause(void* context, uint32_t milliseconds) {
  CallRecorder* self = static_cast<CallRecorder*>(context);
  self->pauses.push_back(milliseconds);
  if (self->onPause) self->onPause(self->pauses.size() - 1);
  if (!self->realPauses_) return;
#ifdef _WIN32
  Sleep(milliseconds);
#else
  struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
#endif
}
