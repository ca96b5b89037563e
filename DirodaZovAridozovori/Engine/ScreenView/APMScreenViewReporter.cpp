#include "APMScreenViewReporter.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "APMDataTypeValidator.h"
#include "APMEventParameters.h"
#include "APMEngineContext.h"
#include "APMMonitor.h"
#include "APMNameTables.h"
#include "DirodaZovAridozovori/Engine/ScreenView/APMScreenViewLog.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsOperationQueue.h"
#include "Session/APMSessionReporter.h"
#include "Utilities/APMNumericUtil.h"
#include "platform/ApplicationNotifications.h"

namespace {

struct Shared {
  std::mutex mutex;
  std::shared_ptr<APMScreenViewReporter> reporter;
};

Shared& shared() {
  static Shared* instance = new Shared();  // outlives every queue that may still reach it
  return *instance;
}

// The engine's session reporter once the engine has set up its components; none before.
std::shared_ptr<APMSessionReporter> readySessionReporter(const std::shared_ptr<APMEngineContext>& engine) {
  return engine ? engine->sessionReporter() : nullptr;
}

// A present screen value that fails the check refuses the screen view; the failure is logged with
// the value.
bool screenValueIsAcceptable(const platform::Dictionary& parameters, const char* key, APMScreenViewLogCode code,
                             const char* message, std::optional<std::string>* value) {
  const platform::Object* found = platform::find(parameters, key);
  if (!found) return true;
  int failure = 0;
  if (!APMDataTypeValidator::isValidScreenParameterValue(*found, &failure)) {
    APMLog(APMLogLevel::kWarning, code, message, *found);
    return false;
  }
  *value = found->stringValue();
  return true;
}

// About what a screen view holds while its work waits among the events (the closure, the two screens
// and the parameters' map), for the room it takes.
constexpr size_t kQueuedScreenViewOverheadBytes = 512;
constexpr size_t kQueuedParameterOverheadBytes = 96;

// Most screen views carry nothing but a checked name and class, which the cleaner would pass
// unchanged (a text no longer in bytes than the lowest value limit passes under any) and which are
// removed afterwards: those pass nothing on, decided on the caller's thread without reading the
// configured limits, so their parameters are neither kept for the screen view's work nor cleaned.
constexpr auto kPassesAnyLimit = static_cast<size_t>(APMEventParameterLimits::kLowestPublicEventParameterValueLengthLimit);

bool carriesOnlyItsScreen(const platform::Dictionary& parameters) {
  return std::all_of(parameters.begin(), parameters.end(), [](const auto& entry) {
    return (entry.first == APMScreenViewEvents::kScreenNameKey || entry.first == APMScreenViewEvents::kScreenClassKey) &&
           entry.second.isString() && entry.second.stringValue().size() <= kPassesAnyLimit;
  });
}

// The parameters a screen view passes on besides its screen, cleaned as a public event's.
std::optional<platform::Dictionary> parametersBesidesScreen(const platform::Dictionary& parameters) {
  // A screen view carries no item lists: an array parameter is refused like any unsupported value.
  auto cleaned = APMSanitizedEventParameters(parameters, APMScreenViewEvents::kPublicScreenViewEventName, true, false);
  if (cleaned) {
    cleaned->erase(APMScreenViewEvents::kScreenNameKey);
    cleaned->erase(APMScreenViewEvents::kScreenClassKey);
  }
  return cleaned;
}

size_t queuedScreenViewBytes(const platform::Dictionary& parameters) {
  size_t bytes = kQueuedScreenViewOverheadBytes;
  for (const auto& [key, value] : parameters) {
    bytes += kQueuedParameterOverheadBytes + key.size() + (value.isString() ? value.stringValue().size() : 0);
  }
  return bytes;
}

}  // namespace

bool APMAutomaticScreenReportingEnabled() { return false; }

// MARK: - Shared instance

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  auto& state = shared();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.reporter) state.reporter = std::make_shared<APMScreenViewReporter>(Private{});
  return state.reporter;
}

void APMScreenViewReporter::resetSharedInstanceForTesting() {
  std::shared_ptr<APMScreenViewReporter> previous;
  {
    auto& state = shared();
    std::lock_guard<std::mutex> lock(state.mutex);
    previous = std::move(state.reporter);
  }
  if (previous) previous->queue_->sync([] {});
}

void APMScreenViewCollaborator::trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp) {
  APMScreenViewReporter::sharedInstance()->trackScreenWithParameters(parameters, timestamp);
}

std::optional<bool> APMScreenViewCollaborator::isAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }

void APMScreenViewCollaborator::applicationDidBecomeActive(const std::shared_ptr<APMEngineContext>& engine) {
  APMScreenViewReporter::sharedInstance()->handleApplicationDidBecomeActive(engine);
}

void APMScreenViewCollaborator::applicationWillResignActive(const std::shared_ptr<APMEngineContext>& engine) {
  APMScreenViewReporter::sharedInstance()->handleApplicationWillResignActive(engine);
}

void APMScreenViewComponent::applicationDidFinishLaunching(const platform::LaunchOptions&) {
  APMScreenViewReporter::sharedInstance();
}

APMScreenViewReporter::APMScreenViewReporter(Private)
    : queue_(platform::DispatchQueue::create(kQueueLabel)),
      currentScreenInstanceID_(APMNumericUtil::randomInt64()) {}

// MARK: - Screens

bool APMScreenViewReporter::isReportingGateOpen() const { return isAppActive() || !appHasBeenInitialized(); }

int64_t APMScreenViewReporter::incrementScreenInstanceID() {
  // Atomic arithmetic wraps, so a seed near the top of the range cannot overflow.
  return currentScreenInstanceID_.fetch_add(1) + 1;
}

std::unique_lock<std::mutex> APMScreenViewReporter::lockAfterQueuedScreenViews() {
  // On the front's serial queue the screen views queued earlier have run already, or wait behind
  // the caller; before the front starts, they wait for the start.
  if (!APMAnalyticsOperationQueue::isCurrentQueueSerialQueue() && !APMAnalyticsOperationQueue::isOperationQueueSuspended()) {
    queuedScreenViews_.waitForQueuedScreenViews();
  }
  return std::unique_lock<std::mutex>(screenMutex_);
}

std::shared_ptr<APMScreen> APMScreenViewReporter::currentScreen() {
  auto lock = lockAfterQueuedScreenViews();
  return currentScreen_;
}

std::shared_ptr<APMScreen> APMScreenViewReporter::previousScreen() {
  auto lock = lockAfterQueuedScreenViews();
  return previousScreen_;
}

void APMScreenViewReporter::getScreenName(std::optional<std::string>* name, std::optional<std::string>* className) {
  if (!name && !className) return;
  auto lock = lockAfterQueuedScreenViews();
  if (name) *name = currentScreen_ ? currentScreen_->name() : std::nullopt;
  if (className) *className = currentScreen_ ? currentScreen_->className() : std::nullopt;
}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>&, const std::optional<std::string>&) {
  APMLog(APMLogLevel::kWarning, APMScreenViewLogCode::kIgnoringCallSetScreenName,
         "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
}

void APMScreenViewReporter::trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp) {
  if (!isAppActive() && appHasBeenInitialized()) {
    APMLog(APMLogLevel::kWarning, APMScreenViewLogCode::kScreenViewWhileInactive,
           "Cannot log screen view event when the app is not active");
    return;
  }
  std::optional<std::string> name;
  std::optional<std::string> className;
  if (!screenValueIsAcceptable(parameters, APMScreenViewEvents::kScreenNameKey,
                               APMScreenViewLogCode::kReceivedInvalidNameScreen, "Received invalid name for screen",
                               &name) ||
      !screenValueIsAcceptable(parameters, APMScreenViewEvents::kScreenClassKey,
                               APMScreenViewLogCode::kReceivedInvalidClassScreen, "Received invalid class for screen",
                               &className)) {
    return;
  }
  auto screen = std::make_shared<APMScreen>(name, className, incrementScreenInstanceID());
  screen->isManuallyTracked = true;
  screen->eventTimestamp = timestamp;
  if (APMLogWouldProcess(APMLogLevel::kDebug)) {  // the caller's path: no copies for a line nobody reads
    APMLog(APMLogLevel::kDebug, APMScreenViewLogCode::kLoggingScreenViewScreenNameScreen,
           "Logging screen view with screen name and screen class", name ? platform::Object(*name) : platform::Object(),
           className ? platform::Object(*className) : platform::Object());
  }

  std::weak_ptr<APMScreenViewReporter> weakSelf = weak_from_this();
  // Room for the queued work is waited for before the lock below, which must not be held meanwhile.
  const size_t bytes = queuedScreenViewBytes(parameters);
  APMAnalyticsOperationQueue::waitForEventRoom(bytes);
  // Counted as run once it has run, or once it is dropped unrun (the front reset or the process
  // ending), so that no reader waits for it in vain.
  struct Ran {
    explicit Ran(std::weak_ptr<APMScreenViewReporter> reporter) : reporter(std::move(reporter)) {}
    Ran(const Ran&) = delete;
    Ran& operator=(const Ran&) = delete;
    std::weak_ptr<APMScreenViewReporter> reporter;
    ~Ran() {
      if (auto self = reporter.lock()) self->queuedScreenViews_.screenViewRan();
    }
  };
  // One step under the lock, so that screen views logged together from several threads are in the
  // same order everywhere: the screen changes, later events carry it, and the rest of its work is
  // queued among the logged events in the caller's place. The caller waits for none of that work
  // (nor wakes a thread for it): the change notification and the "_vs" event run on the front's
  // serial queue where the host logged its "screen_view", one screen view after the other, and
  // what they log stays in that place.
  std::optional<platform::Dictionary> others;
  if (!carriesOnlyItsScreen(parameters)) others = parameters;
  std::lock_guard<std::mutex> lock(screenMutex_);
  std::shared_ptr<APMScreen> previous = std::exchange(currentScreen_, screen);
  publishScreenParametersLocked();
  queuedScreenViews_.screenViewQueued();
  APMAnalyticsOperationQueue::queueEngineOperationAmongEvents([weakSelf, previous, screen, others = std::move(others),
                                                 ran = std::make_shared<Ran>(weakSelf)](
                                                    const std::shared_ptr<APMEngineContext>& engine) mutable {
    auto self = weakSelf.lock();
    if (!self) return;
    const auto done = std::move(ran);
    // Read once for both steps: each read of the configuration costs more than the rest of a step.
    const APMSessionSettings settings = sessionSettings(engine);
    self->postScreenDidChange(engine, previous, screen, settings);
    self->logViewScreenEvent(engine, previous, screen, others ? parametersBesidesScreen(*others) : std::nullopt,
                             settings);
  }, bytes);
}

APMSessionSettings APMScreenViewReporter::sessionSettings(const std::shared_ptr<APMEngineContext>& engine) {
  auto session = readySessionReporter(engine);
  return session ? session->settings() : APMSessionSettings{};
}

void APMScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const std::shared_ptr<APMEngineContext>& engine, const std::shared_ptr<APMScreen>& previousScreen,
    const std::shared_ptr<APMScreen>& newScreen) {
  postScreenDidChange(engine, previousScreen, newScreen, sessionSettings(engine));
}

void APMScreenViewReporter::postScreenDidChange(const std::shared_ptr<APMEngineContext>& engine,
                                                const std::shared_ptr<APMScreen>& previousScreen,
                                                const std::shared_ptr<APMScreen>& newScreen,
                                                const APMSessionSettings& settings) {
  if (!isAppActive()) return;
  if (previousScreen) {
    if (auto session = readySessionReporter(engine)) {
      session->handleScreenDidChangeFromScreen(*previousScreen->currentParameters(), settings);
    }
  }
  // The screens' own parameters, shared rather than copied.
  platform::Dictionary change;
  if (previousScreen) change.emplace(APMScreenViewEvents::kPreviousScreenKey, previousScreen->currentParametersObject());
  if (newScreen) change.emplace(APMScreenViewEvents::kScreenKey, newScreen->currentParametersObject());
  // Made once rather than per change, and never destroyed: a screen view may run while the process exits.
  static const auto& kNotificationName = *new std::string(APMScreenViewEvents::kScreenDidChangeNotification);
  platform::NotificationCenter::defaultCenter().post(kNotificationName, this, std::move(change));
}

void APMScreenViewReporter::logViewScreenEventWithPreviousScreen(const std::shared_ptr<APMEngineContext>& engine,
                                                                 const std::shared_ptr<APMScreen>& previousScreen,
                                                                 const std::shared_ptr<APMScreen>& newScreen,
                                                                 const std::optional<platform::Dictionary>& given) {
  logViewScreenEvent(engine, previousScreen, newScreen, given, sessionSettings(engine));
}

void APMScreenViewReporter::logViewScreenEvent(const std::shared_ptr<APMEngineContext>& engine,
                                               const std::shared_ptr<APMScreen>& previousScreen,
                                               const std::shared_ptr<APMScreen>& newScreen,
                                               std::optional<platform::Dictionary> given,
                                               const APMSessionSettings& settings) {
  if (!newScreen) return;
  if (!isAppActive() && appHasBeenInitialized()) {
    APMLog(APMLogLevel::kDebug, APMScreenViewLogCode::kScreenViewEventNotLogged,
           "Screen view event not logged. App is not active.");
    return;
  }
  std::optional<int64_t> engagement;
  if (previousScreen) {
    // The session cuts nothing unless its configuration reports engagement efficiently.
    if (auto session = readySessionReporter(engine)) {
      const int64_t cut = session->cutFreerideEngagementTimeMillis(settings);
      if (cut >= 1) engagement = cut;
    }
  }
  // The screens' parameters over the given ones of the same names, written straight into the
  // event's compact form (the screen shown always gives "_si", so the event carries its screen).
  thread_local std::string parameters;
  parameters.clear();
  APMPutScreenViewParameters(parameters, previousScreen.get(), *newScreen, given ? &*given : nullptr, engagement);
  {
    std::lock_guard<std::mutex> lock(screenMutex_);
    previousScreen_ = newScreen;
  }
  if (newScreen->isManuallyTracked) {
    APMAnalyticsOperationQueue::queueEncodedEvent(APMScreenViewEvents::kOriginApp, false,
                                                  APMScreenViewEvents::kScreenViewEventName, parameters,
                                                  newScreen->eventTimestamp, nullptr);
  } else {
    APMAnalyticsOperationQueue::queueEncodedEvent(APMScreenViewEvents::kOriginAuto, false,
                                                  APMScreenViewEvents::kScreenViewEventName, parameters, std::nullopt,
                                                  nullptr);
  }
}

platform::Dictionary APMScreenViewReporter::screenParameters() {
  if (!isReportingGateOpen()) return {};
  auto lock = lockAfterQueuedScreenViews();
  return screenParametersLocked();
}

platform::Dictionary APMScreenViewReporter::screenParametersLocked() const {
  if (!allowScreenParameters_ || !currentScreen_ || !isReportingGateOpen()) return {};
  return *currentScreen_->currentParameters();
}

void APMScreenViewReporter::publishScreenParametersLocked() {
  // The screen's own parameters are shared with the front as they are, not copied for each change.
  const bool shown = allowScreenParameters_ && currentScreen_ && isReportingGateOpen();
  APMAnalytics::setSharedCurrentScreenParameters(shown ? currentScreen_->currentParameters() : nullptr);
}

// MARK: - Activation

void APMScreenViewReporter::handleApplicationDidBecomeActive(const std::shared_ptr<APMEngineContext>& engine) {
  isAppActive_ = true;
  appHasBeenInitialized_ = true;
  {
    std::lock_guard<std::mutex> lock(screenMutex_);
    publishScreenParametersLocked();
  }
  if (auto session = readySessionReporter(engine)) session->handleAppDidBecomeActive();
}

void APMScreenViewReporter::handleApplicationWillResignActive(const std::shared_ptr<APMEngineContext>& engine) {
  if (auto session = readySessionReporter(engine)) session->handleAppWillResignActiveWithScreen(std::nullopt);
}

void APMScreenViewReporter::handleApplicationDidEnterBackground() {
  isAppActive_ = false;
  std::lock_guard<std::mutex> lock(screenMutex_);
  publishScreenParametersLocked();
}
