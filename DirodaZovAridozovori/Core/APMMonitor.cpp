#include "APMMonitor.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "APMError.h"
#include "APMMonitorText.h"
#include "Logger/DULLogger.h"
#include "Utilities/APMAEU.h"
#include "platform/ClassRegistry.h"
#include "platform/ProcessInfo.h"

namespace {

constexpr const char* kQueueLabel = "APMMonitorQueue";
constexpr const char* kDebugModeKey = "/diroda/measurement/debug_mode";
constexpr const char* kVerboseLoggingKey = "/diroda/measurement/verbose_logging";
constexpr const char* kCorePlatformLoggerClass = "VOZOdoduravuzida";

bool hasAnyArgument(std::initializer_list<const char*> arguments) {
  for (const char* argument : arguments) {
    if (platform::ProcessInfo::hasArgument(argument)) return true;
  }
  return false;
}

// The shared monitor is read about four times per event, from every thread that logs, so the read
// is one acquire load: a monitor is published only once fully built, and a published monitor is
// never destroyed (a reader keeps the bare pointer as long as it likes). A test reset unpublishes
// the monitor and keeps it among the retired ones; the next read builds and publishes a new one.
std::atomic<APMMonitor*> publishedMonitor{nullptr};

// Builds and publishes: one builder at a time, so racing first readers share one monitor.
std::mutex& publicationMutex() {
  static std::mutex mutex;
  return mutex;
}

// Every monitor ever published, alive for the whole process.
std::vector<std::unique_ptr<APMMonitor>>& publishedMonitors() {
  static auto* monitors = new std::vector<std::unique_ptr<APMMonitor>>();
  return *monitors;
}

APMMonitor* publishMonitor() {
  std::lock_guard<std::mutex> lock(publicationMutex());
  if (APMMonitor* monitor = publishedMonitor.load(std::memory_order_acquire)) return monitor;
  auto& monitors = publishedMonitors();
  monitors.push_back(std::make_unique<APMMonitor>(kMeasurementLibraryVersion));
  APMMonitor* monitor = monitors.back().get();
  publishedMonitor.store(monitor, std::memory_order_release);
  return monitor;
}

}  // namespace

std::shared_ptr<APMMonitor> APMMonitor::shared() {
  APMMonitor* monitor = publishedMonitor.load(std::memory_order_acquire);
  if (!monitor) monitor = publishMonitor();
  // Owns nothing: the monitor outlives every holder, and no count is touched on the hot path.
  return std::shared_ptr<APMMonitor>(std::shared_ptr<APMMonitor>(), monitor);
}

void APMMonitor::resetSharedForTesting() {
  APMMonitor* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(publicationMutex());
    old = publishedMonitor.exchange(nullptr, std::memory_order_acq_rel);
  }
  if (old) old->flush();
}

APMMonitor::APMMonitor(int64_t libraryVersion)
    : APMMonitor(kDefaultLogLevel, std::make_shared<APMASLLogger>(), libraryVersion) {}

APMMonitor::APMMonitor(APMLogLevel logLevel, std::shared_ptr<APMASLLogger> logger, int64_t libraryVersion)
    : logLevel_(logLevel),
      monitorQueue_(platform::DispatchQueue::create(kQueueLabel)),
      console_(std::move(logger), monitorQueue_),
      libraryVersion_(libraryVersion) {
  monitorQueue_->async([this] {
    sampleStore_.migrateMonitorDataOnMonitorQueue();
    sampleStore_.loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
  if (!APMAEU::isFAS()) readLaunchArguments();
}

// Queued blocks use this monitor without owning it: let them finish first.
APMMonitor::~APMMonitor() { monitorQueue_->sync([] {}); }

void APMMonitor::readLaunchArguments() {
  deferToZORLogger_ = hasAnyArgument({"-ZORDebugDisabled", "-ZORDebugEnabled"}) &&
                      platform::ClassRegistry::exists(kCorePlatformLoggerClass);
  auto shared = APMUserDefaults::sharedUserDefaults();
  if (hasAnyArgument({"-noAPMAnalyticsDebugEnabled", "-noDUDUravodazoDebugEnabled", "-ZORDebugDisabled"})) {
    setDebugModeEnabled(false);
  } else if (shared->boolForKey(kDebugModeKey) ||
             hasAnyArgument({"-APMAnalyticsDebugEnabled", "-DUDUravodazoDebugEnabled", "-ZORDebugEnabled"})) {
    setDebugModeEnabled(true);
  }
  if (hasAnyArgument({"-APMAnalyticsVerboseLoggingDisabled", "-DUDUravodazoVerboseLoggingDisabled"})) {
    setVerboseLoggingEnabled(false);
  } else if (shared->boolForKey(kVerboseLoggingKey) ||
             hasAnyArgument({"-APMAnalyticsVerboseLoggingEnabled", "-DUDUravodazoVerboseLoggingEnabled"})) {
    setVerboseLoggingEnabled(true);
  }
}

void APMMonitor::setDULLevel(DULLoggerLevel level) {
  if (!deferToZORLogger_) DULLoggerSetLevel(level);
}

void APMMonitor::setLogLevel(APMLogLevel logLevel) { logLevel_ = logLevel; }

void APMMonitor::setDebugModeEnabled(bool enabled) {
  auto shared = APMUserDefaults::sharedUserDefaults();
  if (enabled && !APMAEU::isFAS()) {
    logLevel_ = APMLogLevel::kDebug;
    setDULLevel(DULLoggerLevel::kDebug);
    shared->setBool(true, kDebugModeKey);
    logWithLevel(APMLogLevel::kDebug, APMMonitorLogCode::kDebugModeOn, "Debug mode is on");
    debugModeEnabled_ = true;
    return;
  }
  logLevel_ = APMLogLevel::kNotice;
  setDULLevel(DULLoggerLevel::kNotice);
  shared->removeObjectForKey(kDebugModeKey);
  logWithLevel(APMLogLevel::kDebug, APMMonitorLogCode::kDebugModeOff, "Debug mode is off");
  debugModeEnabled_ = false;
}

void APMMonitor::setSSTGDebugModeEnabled(bool enabled) {
  if (enabled) {
    logLevel_ = APMLogLevel::kDebug;
    setDULLevel(DULLoggerLevel::kDebug);
    logWithLevel(APMLogLevel::kDebug, APMMonitorLogCode::kSSTGDebugModeOn, "SSTG debug mode is on");
  } else {
    logLevel_ = APMLogLevel::kNotice;
    setDULLevel(DULLoggerLevel::kNotice);
    logWithLevel(APMLogLevel::kDebug, APMMonitorLogCode::kSSTGDebugModeOff, "SSTG debug mode is off");
  }
  debugModeEnabled_ = enabled;
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
  auto shared = APMUserDefaults::sharedUserDefaults();
  // Each line is logged before the flag changes, under the verbose state it leaves.
  if (enabled && !APMAEU::isFAS()) {
    logLevel_ = APMLogLevel::kVerbose;
    setDULLevel(DULLoggerLevel::kDebug);
    shared->setBool(true, kVerboseLoggingKey);
    logWithLevel(APMLogLevel::kVerbose, APMMonitorLogCode::kVerboseLoggingOn, "Verbose logging is on");
    verboseLoggingEnabled_ = true;
    return;
  }
  logLevel_ = debugModeEnabled_ ? APMLogLevel::kDebug : APMLogLevel::kNotice;
  shared->removeObjectForKey(kVerboseLoggingKey);
  logWithLevel(APMLogLevel::kVerbose, APMMonitorLogCode::kVerboseLoggingOff, "Verbose logging is off");
  verboseLoggingEnabled_ = false;
}

void APMMonitor::logWithLevel(APMLogLevel level, APMLogCode messageCode, std::string_view message,
                              const APMMonitorContexts& contexts) {
  bool loggable = isLoggableLevel(level);
  bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return;
  if (level == APMLogLevel::kVerbose && !verboseLoggingEnabled_) return;
  if (loggable) {
    console_.logToConsole(
        messageCode, APMMonitorText::stringWithLogMessage(message, level, contexts, console_.encodeContexts()), level);
  }
  if (!monitorable || message.data() == nullptr) return;
  std::string encoded = APMMonitorText::encodedStringWithContextArray(contexts, false);
  std::string errorContexts;
  for (const APMMonitorContext& context : contexts) {
    const platform::Error* error = context.error();
    if (!error) continue;
    std::string errorContext = APMError::monitorContextOf(*error);
    if (errorContext.empty()) continue;
    errorContexts += (errorContexts.empty() ? "" : ",") + errorContext;
  }
  if (!errorContexts.empty()) encoded += "," + errorContexts;
  insertOrUpdateMonitoringData(std::string(message), std::move(encoded), level);
}

void APMMonitor::insertOrUpdateMonitoringData(std::string message, std::string encodedContext, APMLogLevel level) {
  std::string key = APMMonitorText::monitoringDataKeyWithMessage(message, level, libraryVersion_);
  monitorQueue_->async([this, key = std::move(key), encodedContext = std::move(encodedContext)] {
    sampleStore_.insertOrUpdateSampledDataWithKey(key, encodedContext);
  });
}

std::optional<std::string> APMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                                 double lastSampledTimestamp) {
  std::optional<std::string> result;
  monitorQueue_->sync(
      [&] { result = sampleStore_.monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp); });
  return result;
}

void APMMonitor::clearMonitoringData() {
  monitorQueue_->sync([this] {
    APMUserDefaults::sharedUserDefaults()->removeObjectForKey(kDebugModeKey);
    sampleStore_.clearOnMonitorQueue();
  });
}

platform::Object APMMonitor::sampledDataForTesting() {
  platform::Object data;
  monitorQueue_->sync([&] { data = sampleStore_.sampledData(); });
  return data;
}

void APMMonitor::flush() {
  monitorQueue_->sync([] {});
  DULLoggerFlush();
}

bool APMMonitor::isLoggableLevel(APMLogLevel level) const {
  return !isSilentLevel(level) && DULLoggerIsLoggableLevel(APMLogLevelToDULLoggerLevel(level));
}
