#include "APMAdExposureReporter.h"

#include <cmath>
#include <mutex>

#include "APMMonitor.h"
#include "DirodaZovAridozovori/Engine/AdExposure/APMAdExposureLog.h"
#include "ScreenView/APMScreenViewReporter.h"
#include "Session/APMSessionReporter.h"
#include "platform/ApplicationNotifications.h"
#include "platform/Clock.h"

namespace {

std::optional<platform::Dictionary> dictionaryAt(const platform::Dictionary& userInfo, const char* key) {
  const platform::Object* found = platform::find(userInfo, key);
  if (!found || !found->isDictionary()) return std::nullopt;
  return found->dictionaryValue();
}

}  // namespace

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::create() {
  auto reporter = std::make_shared<APMAdExposureReporter>(Private{});
  reporter->observeSliceCuts();
  return reporter;
}

APMAdExposureReporter::APMAdExposureReporter(Private)
    : queue_(platform::DispatchQueue::create(kQueueLabel)), adExposureStartTime_(currentTime()) {}

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

double APMAdExposureReporter::currentTime() {
  const double time = platform::uptime();
  return std::isfinite(time) && time > 0 ? time : kUnknownTime;
}

// MARK: - Engine

void APMAdExposureReporter::logEvent(const char* name, const platform::Dictionary& parameters) const {
  if (auto context = engine()) context->logInternalEvent(kOrigin, name, parameters);
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
    auto self = weakSelf.lock();
    if (!self) return;
    if (self->adUnitCounts_.size() >= kMaxOpenAdUnits) {
      APMLog(APMLogLevel::kWarningSampledOnly, APMAdExposureLogCode::kReachedLimitAdUnits,
             "Reached limit on ad units. Ignoring ad unit with ID", adUnitID);
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = time;
    if (!self->adUnitCounts_.count(adUnitID)) self->adUnitStartTimes_[adUnitID] = time;
    self->adUnitCounts_[adUnitID] += 1;
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
    auto count = adUnitCounts_.find(adUnitID);
    if (count == adUnitCounts_.end()) {
      APMLog(APMLogLevel::kWarningSampledOnly, APMAdExposureLogCode::kUnknownAdUnit,
             "Unknown ad unit. Ignoring ad unit with ID", adUnitID);
      return;
    }
    if (count->second >= 2) {
      count->second -= 1;
      return;
    }
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, time, screenParameters);
    adUnitCounts_.erase(count);
    adUnitStartTimes_.erase(adUnitID);
    if (!adUnitCounts_.empty()) return;
    logAdExposureEventOnSerialQueueWithEndTime(time, screenParameters);
    adExposureStartTime_ = time;
  });
}

size_t APMAdExposureReporter::openAdUnitCount() {
  size_t count = 0;
  queue_->sync([&] { count = adUnitCounts_.size(); });
  return count;
}

// MARK: - Slices

void APMAdExposureReporter::handleScreenDidChangeFromScreen(const std::optional<platform::Dictionary>& fromScreen) {
  if (!fromScreen) return;
  logExposureEventsWithScreenParameters(*fromScreen);
}

void APMAdExposureReporter::handleEngagementTimer() { logExposureEventsWithScreenParameters(currentScreenParameters()); }

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const std::optional<platform::Dictionary>& screen) {
  logExposureEventsWithScreenParameters(screen && !screen->empty() ? *screen : currentScreenParameters());
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
  const double time = currentTime();
  queue_->sync([&] { updateStartTimesOnSerialQueue(time); });
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(const platform::Dictionary& screenParameters) {
  const double time = currentTime();
  queue_->sync([&] { logExposureEventsOnSerialQueueWithEndTime(time, screenParameters); });
}

void APMAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                                      const platform::Dictionary& screenParameters) {
  for (const auto& [adUnitID, count] : adUnitCounts_) {
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters);
  }
  if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
  updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  if (adUnitCounts_.empty()) return;
  for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
  adExposureStartTime_ = time;
}

std::optional<int64_t> APMAdExposureReporter::exposureMillis(double startTime, double endTime) {
  if (startTime == kUnknownTime || endTime == kUnknownTime) return std::nullopt;
  return platform::saturatingInt64((endTime - startTime) * 1000);
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
  auto millis = exposureMillis(startTime, endTime);
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
  auto start = adUnitStartTimes_.find(adUnitID);
  auto millis =
      reportableMillisOnSerialQueue(lines, start == adUnitStartTimes_.end() ? kUnknownTime : start->second, endTime);
  if (!millis) return;
  platform::Dictionary parameters = screenParameters;
  parameters[kAdUnitIDParameter] = adUnitID;
  parameters[kExposureTimeParameter] = *millis;
  logEvent(kAdUnitExposureEventName, parameters);
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
  auto millis = reportableMillisOnSerialQueue(lines, adExposureStartTime_, endTime);
  if (!millis) return;
  platform::Dictionary parameters = screenParameters;
  parameters[kExposureTimeParameter] = *millis;
  logEvent(kAdExposureEventName, parameters);
}
