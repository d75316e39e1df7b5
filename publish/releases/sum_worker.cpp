#include "publish/releases/sum_worker.h"

namespace {

// Jobs that wake a sleeping worker.
constexpr size_t kWakeBatch = 8;

}  // namespace

SumWorker::SumWorker() {
  // A thread pays only where a second processor can run it.
  if (std::thread::hardware_concurrency() < 2) return;
  threaded_ = true;
  thread_ = std::thread(&SumWorker::Loop, this);
}

SumWorker::~SumWorker() {
  if (!threaded_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void SumWorker::Run(const Job& job) {
  if (job.source != nullptr) {
    *job.target = *job.source;
  } else {
    UpdateContentSum(job.target, job.data, job.length);
  }
}

uint64_t SumWorker::Hand(const Job& job) {
  if (!threaded_) {
    Run(job);
    done_ = ++queued_;
    return queued_;
  }
  uint64_t ticket;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(job);
    ticket = ++queued_;
    // A sleeping worker is woken for a batch of jobs, not for each one;
    // WaitFor wakes it for fewer.
    wake = workerWaits_ && jobs_.size() >= kWakeBatch;
  }
  if (wake) changed_.notify_all();
  return ticket;
}

uint64_t SumWorker::Sum(ContentSum* target, const uint8_t* data, uint32_t length) {
  return Hand(Job{target, nullptr, data, length});
}

uint64_t SumWorker::Copy(ContentSum* target, const ContentSum* source) {
  return Hand(Job{target, source, nullptr, 0});
}

void SumWorker::WaitFor(uint64_t ticket) {
  if (!threaded_) return;
  std::unique_lock<std::mutex> lock(mutex_);
  while (done_ < ticket) {
    if (workerWaits_) changed_.notify_all();
    callerWaits_ = true;
    changed_.wait(lock);
    callerWaits_ = false;
  }
}

void SumWorker::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (jobs_.empty() && !stopping_) {
      workerWaits_ = true;
      changed_.wait(lock);
      workerWaits_ = false;
    }
    if (jobs_.empty()) return;  // stopping, with every job done
    Job job = jobs_.front();
    jobs_.pop_front();
    lock.unlock();
    Run(job);
    lock.lock();
    ++done_;
    if (callerWaits_) changed_.notify_all();
  }
}
