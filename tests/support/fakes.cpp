#include "fakes.h"

#include <algorithm>

namespace zolven::platform::fake {

int FakeApplication::run() {
  if (auto d = delegate.lock()) d->applicationDidFinishLaunching();
  return exitStatus;
}

void FakeApplication::terminate(TerminationCause cause) {
  if (cause == TerminationCause::Failure) exitStatus = 1;
  auto d = delegate.lock();
  const TerminateReply reply = d ? d->applicationShouldTerminate() : TerminateReply::Now;
  terminateReplies.push_back(reply);
  if (reply == TerminateReply::Now) ended = true;
}

void FakeApplication::replyToApplicationShouldTerminate(bool shouldTerminate) {
  replies.push_back(shouldTerminate);
  if (onReply) onReply();
  if (shouldTerminate) ended = true;
}

void FakeMainQueue::async(std::function<void()> work) {
  // Notified under the lock: once the test has seen the item it may destroy the queue,
  // and a notification after the unlock would touch it then.
  std::lock_guard lock(mutex_);
  items_.push_back(std::move(work));
  mostQueued_ = std::max(mostQueued_, items_.size());
  arrived_.notify_all();
}

size_t FakeMainQueue::mostQueued() {
  std::lock_guard lock(mutex_);
  return mostQueued_;
}

size_t FakeMainQueue::ran() {
  std::lock_guard lock(mutex_);
  return ran_;
}

int FakeMainQueue::runPending() {
  int ran = 0;
  for (;;) {
    std::function<void()> item;
    {
      std::lock_guard lock(mutex_);
      if (items_.empty()) return ran;
      item = std::move(items_.front());
      items_.pop_front();
    }
    item();
    ++ran;
    std::lock_guard lock(mutex_);
    ++ran_;
  }
}

bool FakeMainQueue::runUntil(const std::function<bool()>& done,
                             std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    runPending();
    if (done()) return true;
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_until(lock, until, [this] { return !items_.empty(); })) return done();
  }
}

void FakeTask::setOutputHandler(OutputHandler handler) {
  outputHandlerSet = static_cast<bool>(handler);
  outputHandler_ = std::move(handler);
}

void FakeTask::setTerminationHandler(TerminationHandler handler) {
  terminationHandler_ = std::move(handler);
}

void FakeTask::setErrorOutputHandler(OutputHandler handler) {
  errorOutputHandler_ = std::move(handler);
}

Result<void> FakeTask::launch() {
  if (launchError) return Error{*launchError};
  std::lock_guard lock(mutex_);
  launched = true;
  running_ = true;
  return {};
}

bool FakeTask::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void FakeTask::terminate() {
  {
    std::lock_guard lock(mutex_);
    ++terminateCalls;
  }
  if (onTerminate) onTerminate();
}

void FakeTask::stopForGood() {
  {
    std::lock_guard lock(mutex_);
    ++killCalls;
  }
  if (onKill) onKill();
}

void FakeTask::waitUntilExit() {
  std::unique_lock lock(mutex_);
  exited_.wait(lock, [this] { return done_; });
}

bool FakeTask::waitUntilExit(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  lastTimedWait = timeout;
  if (timedWaitsRunOut) return done_;
  return exited_.wait_for(lock, timeout, [this] { return done_; });
}

ExitStatus FakeTask::terminationStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void FakeTask::output(std::string_view chunk) {
  if (outputHandler_) outputHandler_(chunk);
}

void FakeTask::errorOutput(std::string_view chunk) {
  if (errorOutputHandler_) errorOutputHandler_(chunk);
}

void FakeTask::exit(int code) { exit(ExitStatus::exited(code)); }

void FakeTask::exit(ExitStatus status) {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    status_ = status;
  }
  // As the real task: the termination handler returns before waiters wake.
  if (terminationHandler_) terminationHandler_(shared_from_this());
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  exited_.notify_all();
}

std::shared_ptr<Task> FakeTaskFactory::makeTask(TaskOptions options) {
  auto task = std::make_shared<FakeTask>(std::move(options));
  task->launchError = nextLaunchError;
  made.push_back(task);
  return task;
}

void FakePassOnStream::write(std::string_view data) {
  ++writes;
  taken.append(data.substr(0, std::min(data.size(), capacity - taken.size())));
}

bool FakePassOnStream::writeWhole(std::string_view lines) {
  ++writes;
  if (taken.size() + lines.size() > capacity) return false;
  taken += lines;
  return true;
}

}  // namespace zolven::platform::fake
