#pragma once
// Named serial queues.
//
// - async() runs blocks one at a time, in submission order, on the queue's own thread.
// - sync() runs the block on the calling thread once every block submitted earlier has run, while
//   holding the queue (no thread switch). Called from a block already running on that queue (or
//   on a queue that block holds through nested sync calls) it runs inline, so it never deadlocks.
// - The main queue has no thread of its own: the host drains it (drain(), runUntil()).
// Every block runs inside a catch-all: an escaping exception is reported to the exception
// handler and never ends the process.

#include <functional>
#include <memory>
#include <string>

namespace platform {

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  using Block = std::function<void()>;

  static std::shared_ptr<DispatchQueue> create(const std::string& label);
  // The host-drained main queue.
  static const std::shared_ptr<DispatchQueue>& main();

  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const;
  void async(Block block);
  void sync(const Block& block);
  // Submits block asynchronously after delaySeconds (of the installed clock's uptime).
  void after(double delaySeconds, Block block);

  // YES while the calling thread runs a block of this queue (or holds it through sync).
  bool isCurrent() const;
  // The label of the innermost queue the calling thread runs on, or "" outside any queue.
  static std::string currentLabel();

  // A suspended queue runs no further blocks until resumed (calls nest).
  void suspend();
  void resume();

  // Main queue: runs every block that is ready now, on the calling thread; returns how many ran.
  size_t drain();
  // Main queue: drains until done() answers true or timeoutSeconds (real time) have passed.
  bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

  // Number of blocks waiting (not counting one that is running).
  size_t pendingCount() const;

  // For the end of the process, when no thread of ours may run while static objects are destroyed:
  // blocks still waiting are dropped and later async() blocks refused; a block that is running may
  // finish within waitSeconds, after which the queue's thread has ended (true). Past that the thread
  // is left to end by itself (false). sync() still runs its block, on the caller's thread, one at a
  // time. The main queue is never stopped.
  bool stop(double waitSeconds);
  // stop() for every queue but the main one, all within waitSeconds; true when every thread ended.
  static bool stopAll(double waitSeconds);

  struct State;

 private:
  DispatchQueue(const std::string& label, bool isMain);
  std::shared_ptr<State> state_;
};

// True on the process's main thread (the thread that started the program).
bool isMainThread();

// Receives exceptions that escaped a queue block: the queue label and the exception's text.
using BlockExceptionHandler = std::function<void(const std::string& queueLabel, const std::string& what)>;
// Replaces the handler (nullptr restores the default, which writes one line to stderr).
void setBlockExceptionHandler(BlockExceptionHandler handler);

}  // namespace platform
