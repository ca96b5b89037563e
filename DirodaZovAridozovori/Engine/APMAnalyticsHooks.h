#pragma once
// What the engine asks of the engine front (APMAnalytics) without depending on it: the front
// installs these hooks when analytics starts, and the engine reaches the front through them only. Every hook may be empty; the engine then uses the neutral
// answer documented next to it, so the engine runs (and is tested) without a front.
//
// Threads: the hooks are installed and read under one mutex; a hook is called on whatever queue
// the engine is on (mostly the worker queue) and must not wait for the worker queue.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Object.h"

class APMEvent;

struct APMAnalyticsHooks {
  // The process's measurement load time (seconds since 1970); empty: the current time.
  std::function<double()> loadTimestamp;
  // A reset asked for a new first open on the next start; empty: NO.
  std::function<bool()> needFirstOpenAfterReset;
  std::function<void()> removeNeedFirstOpenAfterReset;
  // Whether collection started out deferred (true) or not (false); none when not recorded.
  std::function<std::optional<bool>()> deferredAnalyticsCollection;
  std::function<void(std::optional<bool>)> setDeferredAnalyticsCollection;
  // The number of started but unfinished wipes.
  std::function<int64_t()> resetRetryCount;
  std::function<void(int64_t)> setResetRetryCount;
  // The app instance ID a reset chose while the engine was not running.
  std::function<std::optional<std::string>()> appInstanceIDAfterReset;
  std::function<void()> removeAppInstanceIDAfterReset;
  std::function<void()> removeStartUpConsentSettings;
  std::function<void()> removeDeferredResetOnDeniedConsent;
  std::function<void()> clearConsent;
  std::function<void(const platform::Dictionary& settings, int64_t source)> persistConsentSettings;
  // Sets the consent of one source (its settings key) as the host's call would; empty: nothing.
  std::function<void(const platform::Dictionary& settings, const std::string& sourceKey)> setConsent;
  // Stored consent sets for the start-up choice (on-start and public-call sets).
  std::function<platform::Dictionary()> consentSettings1PStart;
  std::function<platform::Dictionary()> consentSettings3P;
  std::function<platform::Dictionary()> consentSettingsTCF;
  // The front's internal-event road (version reports, error events).
  std::function<void(const std::string& origin, const std::string& name, const platform::Dictionary& parameters)>
      logInternalEventWithOrigin;
  std::function<void(const std::shared_ptr<APMEvent>& event)> notifyEventListeners;
  // Whether any listener would hear notifyEventListeners now; empty: YES (so no copy of the event
  // is made for nobody).
  std::function<bool()> hasEventListeners;
  // The application has become active (false until the first activation, then never cleared);
  // empty: NO.
  std::function<bool()> isAppActive;
  // The current screen parameters ("_sn", "_sc", "_si"); empty: none.
  std::function<platform::Dictionary()> screenParameters;
  // A collaborator of the front (the screen-view reporter) owns the application-active state and
  // tells the session reporter about activation and resignation itself; empty: NO, the engine's
  // own lifecycle handlers tell it.
  std::function<bool()> hasAppActiveOwner;
  // Queues block on the front's operation queue, which holds it until analytics has started;
  // empty: the block runs at once.
  std::function<void(std::function<void()> block)> queueOperationWithBlock;
};

// Replaces every hook at once (a default-constructed value removes them).
void APMSetAnalyticsHooks(APMAnalyticsHooks hooks);
// A copy of the installed hooks.
APMAnalyticsHooks APMCurrentAnalyticsHooks();
// The installed hooks without copying them (never null); for the per-event paths.
std::shared_ptr<const APMAnalyticsHooks> APMAnalyticsHooksSnapshot();
// The installed isAppActive hook's answer, NO without one.
bool APMAnalyticsHooksIsAppActive();
// Hands an internal event to the front's internal road when a front installed one: false (and
// nothing done) without it.
bool APMAnalyticsHooksLogInternalEvent(const std::string& origin, const std::string& name,
                                       const platform::Dictionary& parameters);
// Whether the public API is linked into the process.
bool APMPublicAPIPresent();
// The current screen's parameters, none without the hook.
platform::Dictionary APMAnalyticsHooksScreenParameters();
// The deferred-collection flag through its hooks (none, and nothing set, without them).
std::optional<bool> APMAnalyticsHooksDeferredCollection();
void APMAnalyticsHooksSetDeferredCollection(std::optional<bool> value);
// Whether logged events are to be handed to notifyEventListeners: it is set and has listeners.
bool APMAnalyticsHooksHaveEventListeners(const APMAnalyticsHooks& hooks);
