// Sums pieces of data on a thread of its own, in the order they are handed
// over, so that summing a release overlaps reading and comparing it. On a
// machine with one processor, or when no thread can be started, each job
// runs at once on the caller's thread instead: the results are the same.
//
// A job's data, target and source belong to the caller and must stay as
// they are until WaitFor has passed the job's ticket; targets must not be
// read before then.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "package/content_sum.h"

class SumWorker {
 public:
  SumWorker();
  // Finishes every job handed over, then lets the thread go.
  ~SumWorker();
  SumWorker(const SumWorker&) = delete;
  SumWorker& operator=(const SumWorker&) = delete;

  // Continues *target over length bytes of data. Returns the job's ticket.
  uint64_t Sum(ContentSum* target, const uint8_t* data, uint32_t length);
  // Sets *target to *source as the earlier jobs leave it.
  uint64_t Copy(ContentSum* target, const ContentSum* source);
  // Returns once the job of ticket, and every earlier one, is done.
  void WaitFor(uint64_t ticket);
  void WaitAll() { WaitFor(queued_); }

 private:
  struct Job {
    ContentSum* target;
    const ContentSum* source;  // a copy when set
    const uint8_t* data;
    uint32_t length;
  };
  static void Run(const Job& job);
  uint64_t Hand(const Job& job);
  void Loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  uint64_t queued_ = 0;
  uint64_t done_ = 0;
  bool stopping_ = false;
  bool threaded_ = false;
  // Who sleeps on changed_, so that a wake-up is sent only when needed.
  bool workerWaits_ = false;
  bool callerWaits_ = false;
  std::thread thread_;
};
