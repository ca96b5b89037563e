#include "APMAnalyticsListeners.h"

#include <atomic>
#include <map>
#include <utility>

#include "APMAnalyticsLog.h"
#include "APMAnalyticsOperationQueue.h"

namespace {

// Serial queue only, but for the token counter and the count of listeners.
struct ListenersState {
  APMAnalyticsListeners::Interceptor interceptor;
  APMAnalyticsListeners::OpenURLListener openURLListener;
  std::unique_ptr<std::map<APMAnalyticsListeners::ListenerToken, APMAnalyticsListeners::LogEventListener>> listeners;
  std::atomic<APMAnalyticsListeners::ListenerToken> nextListenerToken{1};
  // Raised when a listener is added (before its registration is queued), lowered when one is
  // removed: with none, the engine's per-event notifications queue nothing.
  std::atomic<int64_t> listenerCount{0};
};

ListenersState& registry() {
  static ListenersState* state = new ListenersState();  // lives for the whole process, like the queue that reads it
  return *state;
}

}  // namespace

void APMAnalyticsListeners::setLogEventInterceptor(Interceptor interceptor) {
  auto store = [interceptor = std::move(interceptor)]() mutable { registry().interceptor = std::move(interceptor); };
  if (APMAnalyticsOperationQueue::isCurrentQueueSerialQueue()) {
    store();
  } else {
    APMAnalyticsOperationQueue::queueOperationWithBlock(std::move(store));
  }
}

APMAnalyticsListeners::ListenerToken APMAnalyticsListeners::addLogEventListener(LogEventListener listener) {
  if (!listener) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAttemptedAdditionNilLogEventListener,
           "Attempted addition of nil log event listener.");
    return 0;
  }
  ListenerToken token = registry().nextListenerToken.fetch_add(1);
  registry().listenerCount.fetch_add(1);
  auto store = [token, listener = std::move(listener)]() mutable {
    auto& state = registry();
    if (!state.listeners) state.listeners = std::make_unique<std::map<ListenerToken, LogEventListener>>();
    (*state.listeners)[token] = std::move(listener);
  };
  if (APMAnalyticsOperationQueue::isCurrentQueueSerialQueue()) {
    store();
  } else {
    APMAnalyticsOperationQueue::queueOperationWithBlock(std::move(store));
  }
  return token;
}

void APMAnalyticsListeners::removeLogEventListener(ListenerToken token) {
  if (token == 0) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAttemptedRemovalNilLogEvent,
           "Attempted removal of nil log event.");
    return;
  }
  APMAnalyticsOperationQueue::queueOperationWithBlock([token] {
    auto& state = registry();
    if (!state.listeners) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAttemptedRemovalNilLogEventListener,
             "Attempted removal of nil log event listener.");
      return;
    }
    if (state.listeners->erase(token) == 0) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAttemptedRemovalLogEventListenerInvalid,
             "Attempted removal of log event listener with invalid token.");
      return;
    }
    state.listenerCount.fetch_sub(1);
  });
}

void APMAnalyticsListeners::notifyEventListeners(const std::shared_ptr<APMEvent>& event) {
  if (!event || registry().listenerCount.load() == 0) return;
  APMAnalyticsOperationQueue::queueOperationWithBlock([event] {
    auto& state = registry();
    if (!state.listeners) return;
    // A listener may add or remove listeners (queued behind this block), so iterate over a copy.
    auto listeners = *state.listeners;
    for (const auto& entry : listeners) entry.second(event);
  });
}

bool APMAnalyticsListeners::hasEventListeners() { return registry().listenerCount.load() > 0; }

void APMAnalyticsListeners::setOpenURLListener(OpenURLListener listener) {
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue(
      [listener = std::move(listener)]() mutable { registry().openURLListener = std::move(listener); });
}

const APMAnalyticsListeners::Interceptor& APMAnalyticsListeners::interceptor() { return registry().interceptor; }

const APMAnalyticsListeners::OpenURLListener& APMAnalyticsListeners::openURLListener() {
  return registry().openURLListener;
}

void APMAnalyticsListeners::resetOnSerialQueue() {
  auto& state = registry();
  state.interceptor = nullptr;
  state.openURLListener = nullptr;
  state.listeners.reset();
  state.listenerCount = 0;
}
