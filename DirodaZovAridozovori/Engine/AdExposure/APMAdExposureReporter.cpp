#include "APMAdExposureReporter.h"

#include <mutex>

#include "APMMonitor.h"
#include "DirodaZovAridozovori/Engine/AdExposure/APMAdExposureEvents.h"
#include "DirodaZovAridozovori/Engine/AdExposure/APMAdExposureLog.h"
#include "ScreenView/APMScreenViewReporter.h"
#include "Session/APMSessionReporter.h"
#include "platform/ApplicationNotifications.h"

namespace {

// Read where it lies: the notification outlives the handler that reads it.
const platform::Dictionary* dictionaryAt(const platform::Dictionary& userInfo, const char* key) {
  const platform::Object* found = platform::find(userInfo, key);
  return found ? found->asDictionary() : nullptr;
}

}  // namespace

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::create() {
  auto reporter = std::make_shared<APMAdExposureReporter>(Private{});
  reporter->observeSliceCuts();
  return reporter;
}

APMAdExposureReporter::APMAdExposureReporter(Private) : queue_(platform::DispatchQueue::create(kQueueLabel)) {}

APMAdExposureReporter::~APMAdExposureReporter() {
  auto& center = platform::NotificationCenter::defaultCenter();
  for (auto token : observers_) center.removeObserver(token);
}

void APMAdExposureReporter::observeSliceCuts() {
  std::weak_ptr<APMAdExposureReporter> weakSelf = weak_from_this();
  auto observe = [&](const char* name, std::function<void(APMAdExposureReporter&, const platform::Notification&)> cut) {
    observers_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
        name, nullptr, nullptr, [weakSelf, cut = std::move(cut)](const platform::Notification& notification) {
          if (auto self = weakSelf.lock()) cut(*self, notification);
        }));
  };
  observe(APMScreenViewEvents::kScreenDidChangeNotification, [](auto& self, const platform::Notification& note) {
    self.handleScreenDidChangeFromScreen(dictionaryAt(note.userInfo, APMScreenViewEvents::kPreviousScreenKey));
  });
  observe(APMSessionEvents::kEngagementTimerDidFireNotification,
          [](auto& self, const platform::Notification&) { self.handleEngagementTimer(); });
  observe(platform::kApplicationDidBecomeActiveNotification,
          [](auto& self, const platform::Notification&) { self.handleAppDidBecomeActive(); });
  observe(platform::kApplicationWillResignActiveNotification,
          [](auto& self, const platform::Notification&) { self.handleAppWillResignActiveWithScreen(std::nullopt); });
}

void APMAdExposureReporter::attachToEngine(const std::shared_ptr<APMEngineContext>& engine) {
  std::lock_guard<std::mutex> lock(engineMutex_);
  engine_ = engine;
}

std::shared_ptr<APMEngineContext> APMAdExposureReporter::engine() const {
  std::lock_guard<std::mutex> lock(engineMutex_);
  return engine_;
}

// MARK: - Engine

void APMAdExposureReporter::logEvent(const char* name, const platform::Dictionary& parameters) const {
  if (auto context = engine()) context->logInternalEvent(APMAdExposureEvents::kOrigin, name, parameters);
}

bool APMAdExposureReporter::isAppActive() const {
  auto context = engine();
  return context && context->isAppActive();
}

platform::Dictionary APMAdExposureReporter::currentScreenParameters() const {
  auto context = engine();
  return context ? context->screenParameters() : platform::Dictionary{};
}

// MARK: - Begin and end

void APMAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMAdExposureLogCode::kIgnoringCallBeginAdUnitExposure,
           "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  std::weak_ptr<APMAdExposureReporter> weakSelf = weak_from_this();
  queue_->async([weakSelf, adUnitID, time] {
    if (auto self = weakSelf.lock()) self->openUnits_.begin(adUnitID, time);
  });
}

void APMAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMAdExposureLogCode::kIgnoringCallEndAdUnitExposure,
           "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  const platform::Dictionary screenParameters = currentScreenParameters();
  queue_->sync([&] {
    if (!openUnits_.contains(adUnitID)) {
      APMLog(APMLogLevel::kWarningSampledOnly, APMAdExposureLogCode::kUnknownAdUnit,
             "Unknown ad unit. Ignoring ad unit with ID", adUnitID);
      return;
    }
    if (openUnits_.endOneOfSeveral(adUnitID)) return;
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, time, screenParameters);
    openUnits_.close(adUnitID);
    if (!openUnits_.counts().empty()) return;
    logAdExposureEventOnSerialQueueWithEndTime(time, screenParameters);
    openUnits_.setAdExposureStartTime(time);
  });
}

size_t APMAdExposureReporter::openAdUnitCount() {
  size_t count = 0;
  queue_->sync([&] { count = openUnits_.counts().size(); });
  return count;
}

// MARK: - Slices

void APMAdExposureReporter::handleScreenDidChangeFromScreen(const platform::Dictionary* fromScreen) {
  if (!fromScreen) return;
  logExposureEventsWithScreenParameters(*fromScreen);
}

void APMAdExposureReporter::handleEngagementTimer() { logExposureEventsWithScreenParameters(currentScreenParameters()); }

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const std::optional<platform::Dictionary>& screen) {
  logExposureEventsWithScreenParameters(screen && !screen->empty() ? *screen : currentScreenParameters());
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
  const double time = currentTime();
  queue_->sync([&] { openUnits_.updateStartTimes(time); });
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(const platform::Dictionary& screenParameters) {
  const double time = currentTime();
  queue_->sync([&] { logExposureEventsOnSerialQueueWithEndTime(time, screenParameters); });
}

void APMAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                                      const platform::Dictionary& screenParameters) {
  for (const auto& [adUnitID, count] : openUnits_.counts()) {
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters);
  }
  if (!openUnits_.counts().empty()) logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
  openUnits_.updateStartTimes(endTime);
}

// The log lines of one kind of exposure event, for the checks both kinds share.
struct APMAdExposureReporter::RefusalLines {
  APMAdExposureLogCode disabledCode;
  const char* disabled;
  APMAdExposureLogCode inactiveCode;
  const char* inactive;
  APMAdExposureLogCode shortCode;
  const char* unknownTime;
  const char* tooShort;
};

std::optional<int64_t> APMAdExposureReporter::reportableMillisOnSerialQueue(const RefusalLines& lines, double startTime,
                                                                            double endTime) const {
  if (!isReportingEnabled()) {
    APMLog(APMLogLevel::kWarningSampledOnly, lines.disabledCode, lines.disabled);
    return std::nullopt;
  }
  if (!isAppActive()) {
    APMLog(APMLogLevel::kVerbose, lines.inactiveCode, lines.inactive);
    return std::nullopt;
  }
  auto millis = APMOpenAdUnits::exposureMillis(startTime, endTime);
  if (!millis || *millis < kMinExposureMillis) {
    APMLog(APMLogLevel::kVerbose, lines.shortCode, millis ? lines.tooShort : lines.unknownTime);
    return std::nullopt;
  }
  return millis;
}

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                                      const platform::Dictionary& screenParameters) {
  static const RefusalLines lines{APMAdExposureLogCode::kAdUnitExposureNotLogged,
                                  "Ad unit exposure not logged. Reporting is disabled.",
                                  APMAdExposureLogCode::kAdUnitExposureAppNotActive,
                                  "Ad unit exposure not logged. App is not active.",
                                  APMAdExposureLogCode::kAdUnitExposureClockUnreadable,
                                  "Ad unit exposure not logged. The clock could not be read",
                                  "Ad unit exposure not logged. Exposure time was less than 1 sec"};
  if (adUnitID.empty() && isReportingEnabled()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMAdExposureLogCode::kAdUnitExposureEmptyID,
           "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  auto millis = reportableMillisOnSerialQueue(lines, openUnits_.startTimeOf(adUnitID), endTime);
  if (!millis) return;
  platform::Dictionary parameters = screenParameters;
  parameters[APMAdExposureEvents::kAdUnitIDParameter] = adUnitID;
  parameters[APMAdExposureEvents::kExposureTimeParameter] = *millis;
  logEvent(APMAdExposureEvents::kAdUnitExposureEventName, parameters);
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(double endTime,
                                                                       const platform::Dictionary& screenParameters) {
  static const RefusalLines lines{APMAdExposureLogCode::kAdExposureNotLogged,
                                  "Ad exposure not logged. Reporting is disabled.",
                                  APMAdExposureLogCode::kAdExposureNotLoggedAppNotActive,
                                  "Ad exposure not logged. App is not active.",
                                  APMAdExposureLogCode::kAdExposureClockUnreadable,
                                  "Ad exposure not logged. The clock could not be read",
                                  "Ad exposure not logged. Exposure time was less than 1 sec"};
  auto millis = reportableMillisOnSerialQueue(lines, openUnits_.adExposureStartTime(), endTime);
  if (!millis) return;
  platform::Dictionary parameters = screenParameters;
  parameters[APMAdExposureEvents::kExposureTimeParameter] = *millis;
  logEvent(APMAdExposureEvents::kAdExposureEventName, parameters);
}
