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
BlockExceptionHandler gHandler;

void reportException(const std::string& label, const std::string& what) {
  BlockExceptionHandler handler;
  {
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    handler = gHandler;
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

}  // namespace

struct DispatchQueue::State {
  std::string label;
  bool isMain = false;
  mutable std::mutex mutex;
  std::condition_variable cv;
  std::deque<Item> items;
  bool busy = false;        // a block (async or sync) is running
  bool stop = false;
  bool workerWaiting = false;
  int suspended = 0;
  std::thread thread;

  bool canStart() const { return !items.empty() && suspended == 0 && !busy; }
};

namespace {

using State = DispatchQueue::State;

struct CurrentScope {
  explicit CurrentScope(const State* s) { tCurrent.push_back(s); }
  ~CurrentScope() { tCurrent.pop_back(); }
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
}

}  // namespace

DispatchQueue::DispatchQueue(const std::string& label, bool isMain) : state_(std::make_shared<State>()) {
  state_->label = label;
  state_->isMain = isMain;
}

std::shared_ptr<DispatchQueue> DispatchQueue::create(const std::string& label) {
  return std::shared_ptr<DispatchQueue>(new DispatchQueue(label, false));
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::main() {
  // Leaked on purpose: other threads keep sending completions here while the process exits.
  static const auto* kMain = new std::shared_ptr<DispatchQueue>(new DispatchQueue("com.apple.main-thread", true));
  return *kMain;
}

DispatchQueue::~DispatchQueue() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
    state_->suspended = 0;
  }
  state_->cv.notify_all();
  if (state_->thread.joinable()) {
    if (state_->thread.get_id() == std::this_thread::get_id()) {
      state_->thread.detach();  // released from one of our own blocks: the loop ends by itself
    } else {
      state_->thread.join();
    }
  }
}

const std::string& DispatchQueue::label() const { return state_->label; }

void DispatchQueue::async(Block block) {
  if (!block) return;
  std::unique_lock<std::mutex> lock(state_->mutex);
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
  if (!state_->busy && state_->items.empty() && state_->suspended == 0) {
    // Fast path: the queue is idle, take it directly.
    state_->busy = true;
    lock.unlock();
    runBlock(*state_, block);
    lock.lock();
    state_->busy = false;
    bool wake = !state_->items.empty();
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

bool isMainThread() { return std::this_thread::get_id() == kMainThreadID; }

void setBlockExceptionHandler(BlockExceptionHandler handler) {
  std::lock_guard<std::mutex> lock(gHandlerMutex);
  gHandler = std::move(handler);
}

}  // namespace platform
