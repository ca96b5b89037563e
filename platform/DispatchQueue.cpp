#include "platform/DispatchQueue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "platform/Timer.h"

namespace platform {

namespace {

const std::thread::id kMainThreadID = std::this_thread::get_id();

std::mutex gHandlerMutex;
// Never destroyed: a queue's block may still throw while the process exits. Guarded by gHandlerMutex.
BlockExceptionHandler& exceptionHandler() {
  static auto& handler = *new BlockExceptionHandler;
  return handler;
}

void reportException(const std::string& label, const std::string& what) {
  BlockExceptionHandler handler;
  {
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    handler = exceptionHandler();
  }
  if (handler) {
    handler(label, what);
  } else {
    std::fprintf(stderr, "Exception on queue %s: %s\n", label.c_str(), what.c_str());
  }
}

struct SyncWaiter {
  bool granted = false;
};

struct Item {
  DispatchQueue::Block block;
  SyncWaiter* waiter = nullptr;
};

// The queues the calling thread currently runs on, innermost last.
thread_local std::vector<const DispatchQueue::State*> tCurrent;
// tCurrent's last entry (null when none): asked on every step of an event's way, and a plain
// pointer needs none of the vector's per-thread set-up on each access.
thread_local const DispatchQueue::State* tInnermost = nullptr;

}  // namespace

struct DispatchQueue::State {
  std::string label;
  bool isMain = false;
  mutable std::mutex mutex;
  std::condition_variable cv;
  std::deque<Item> items;
  bool busy = false;        // a block (async or sync) is running
  bool stop = false;
  bool stopped = false;     // stop(): waiting blocks dropped, no new ones taken
  bool threadEnded = false;
  bool workerWaiting = false;
  int suspended = 0;
  std::thread thread;

  bool canStart() const { return !items.empty() && suspended == 0 && !busy; }
};

namespace {

using State = DispatchQueue::State;

struct CurrentScope {
  explicit CurrentScope(const State* s) : outer(tInnermost) {
    tCurrent.push_back(s);
    tInnermost = s;
  }
  ~CurrentScope() {
    tCurrent.pop_back();
    tInnermost = outer;
  }
  const State* const outer;
};

void runBlock(const State& state, const DispatchQueue::Block& block) {
  CurrentScope scope(&state);
  try {
    block();
  } catch (const Exception& e) {
    reportException(state.label, e.what());
  } catch (const std::exception& e) {
    reportException(state.label, e.what());
  } catch (...) {
    reportException(state.label, "unknown exception");
  }
}

// Pops and runs one item; lock is held on entry and on return.
void runOne(State& state, std::unique_lock<std::mutex>& lock) {
  Item item = std::move(state.items.front());
  state.items.pop_front();
  state.busy = true;
  if (item.waiter) {
    // Hand the queue to the sync caller: it runs the block on its own thread and clears busy
    // when done. The waiter lives on the caller's stack, so it is not touched after this.
    item.waiter->granted = true;
    state.cv.notify_all();
    return;
  }
  lock.unlock();
  runBlock(state, item.block);
  item.block = nullptr;  // release captures outside the lock
  lock.lock();
  state.busy = false;
}

void workerLoop(std::shared_ptr<State> state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  for (;;) {
    state->workerWaiting = true;
    state->cv.wait(lock, [&] { return state->canStart() || (state->stop && state->items.empty()); });
    state->workerWaiting = false;
    if (!state->canStart()) break;  // stopping and nothing left
    runOne(*state, lock);
  }
  state->threadEnded = true;
  state->cv.notify_all();
}

// Every queue with a thread of its own, for stopAll(). Leaked: read while the process exits.
std::mutex& registryMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::vector<std::weak_ptr<State>>& registry() {
  static auto* queues = new std::vector<std::weak_ptr<State>>;
  return *queues;
}

bool stopState(State& state, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(state.mutex);
  state.stopped = true;
  state.stop = true;
  state.suspended = 0;
  // Sync callers waiting for their turn keep it: they hold no thread of ours.
  std::erase_if(state.items, [](const Item& item) { return item.waiter == nullptr; });
  state.cv.notify_all();
  if (!state.thread.joinable()) return true;
  if (state.thread.get_id() == std::this_thread::get_id()) {
    state.thread.detach();  // stopped from its own block: the loop ends after it
    return true;
  }
  const bool ended = state.cv.wait_until(lock, deadline, [&] { return state.threadEnded; });
  // The queue's release may have taken the thread meanwhile (see ~DispatchQueue): it joins it.
  std::thread thread = std::move(state.thread);
  lock.unlock();
  if (!thread.joinable()) return ended;
  if (ended) {
    thread.join();
  } else {
    thread.detach();
  }
  return ended;
}

}  // namespace

DispatchQueue::DispatchQueue(const std::string& label, bool isMain) : state_(std::make_shared<State>()) {
  state_->label = label;
  state_->isMain = isMain;
}

std::shared_ptr<DispatchQueue> DispatchQueue::create(const std::string& label) {
  std::shared_ptr<DispatchQueue> queue(new DispatchQueue(label, false));
  std::lock_guard<std::mutex> lock(registryMutex());
  auto& queues = registry();
  std::erase_if(queues, [](const std::weak_ptr<State>& state) { return state.expired(); });
  queues.push_back(queue->state_);
  return queue;
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::main() {
  // Leaked on purpose: other threads keep sending completions here while the process exits.
  static const auto* kMain = new std::shared_ptr<DispatchQueue>(new DispatchQueue("com.apple.main-thread", true));
  return *kMain;
}

DispatchQueue::~DispatchQueue() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
    state_->suspended = 0;
    // Taken under the lock, as stopState takes it: the exit may be stopping this queue right now,
    // and a thread joined twice aborts the process (or never returns).
    thread = std::move(state_->thread);
  }
  state_->cv.notify_all();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // released from one of our own blocks: the loop ends by itself
  } else {
    thread.join();
  }
}

const std::string& DispatchQueue::label() const { return state_->label; }

void DispatchQueue::async(Block block) {
  if (!block) return;
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->stopped) return;
  state_->items.push_back(Item{std::move(block), nullptr});
  if (!state_->isMain && !state_->thread.joinable()) {
    state_->thread = std::thread(workerLoop, state_);
    return;
  }
  if (state_->workerWaiting || state_->isMain) {
    lock.unlock();
    state_->cv.notify_all();
  }
}

void DispatchQueue::sync(const Block& block) {
  if (!block) return;
  if (isCurrent()) {
    block();
    return;
  }
  std::unique_lock<std::mutex> lock(state_->mutex);
  // A stopped queue has no thread to hand it over: wait until it is free and take it.
  if (state_->stopped) state_->cv.wait(lock, [&] { return !state_->busy && state_->items.empty(); });
  if (!state_->busy && state_->items.empty() && state_->suspended == 0) {
    // Fast path: the queue is idle, take it directly.
    state_->busy = true;
    lock.unlock();
    runBlock(*state_, block);
    lock.lock();
    state_->busy = false;
    bool wake = !state_->items.empty() || state_->stopped;
    lock.unlock();
    if (wake) state_->cv.notify_all();
    return;
  }
  SyncWaiter waiter;
  state_->items.push_back(Item{nullptr, &waiter});
  if (!state_->isMain && !state_->thread.joinable()) state_->thread = std::thread(workerLoop, state_);
  state_->cv.notify_all();
  state_->cv.wait(lock, [&] { return waiter.granted; });
  lock.unlock();
  runBlock(*state_, block);
  lock.lock();
  state_->busy = false;
  lock.unlock();
  state_->cv.notify_all();
}

void DispatchQueue::after(double delaySeconds, Block block) {
  if (!block) return;
  std::weak_ptr<DispatchQueue> weak = weak_from_this();
  TimerService::shared().schedule(delaySeconds, [weak, block = std::move(block)]() mutable {
    if (auto queue = weak.lock()) queue->async(std::move(block));
  });
}

bool DispatchQueue::isCurrent() const {
  if (tInnermost == state_.get()) return true;
  if (!tInnermost) return false;
  return std::find(tCurrent.begin(), tCurrent.end(), state_.get()) != tCurrent.end();
}

std::string DispatchQueue::currentLabel() { return tCurrent.empty() ? std::string() : tCurrent.back()->label; }

void DispatchQueue::suspend() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->suspended;
}

void DispatchQueue::resume() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->suspended > 0) --state_->suspended;
  }
  state_->cv.notify_all();
}

size_t DispatchQueue::drain() {
  size_t count = 0;
  std::unique_lock<std::mutex> lock(state_->mutex);
  while (state_->canStart()) {
    runOne(*state_, lock);
    ++count;
  }
  return count;
}

bool DispatchQueue::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    drain();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::unique_lock<std::mutex> lock(state_->mutex);
    // Re-check often: done() may turn true through work on other queues.
    state_->cv.wait_for(lock, std::chrono::milliseconds(5), [&] { return state_->canStart(); });
  }
}

size_t DispatchQueue::pendingCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->items.size();
}

bool DispatchQueue::stop(double waitSeconds) {
  if (state_->isMain) return false;
  return stopState(*state_, std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                                   std::chrono::duration<double>(waitSeconds)));
}

bool DispatchQueue::stopAll(double waitSeconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(waitSeconds));
  std::vector<std::shared_ptr<State>> queues;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    for (const auto& weak : registry()) {
      if (auto state = weak.lock()) queues.push_back(std::move(state));
    }
  }
  bool allEnded = true;
  for (const auto& state : queues) allEnded = stopState(*state, deadline) && allEnded;
  return allEnded;
}

bool isMainThread() { return std::this_thread::get_id() == kMainThreadID; }

void setBlockExceptionHandler(BlockExceptionHandler handler) {
  std::lock_guard<std::mutex> lock(gHandlerMutex);
  exceptionHandler() = std::move(handler);
}

}  // namespace platform
