#include "APMMonitor.h"

#include <cctype>
#include <sstream>

#include "APMError.h"
#include "Logger/DULLogger.h"
#include "Utilities/APMAEU.h"
#include "platform/ClassRegistry.h"
#include "platform/ProcessInfo.h"

namespace {

constexpr const char* kQueueLabel = "APMMonitorQueue";
constexpr const char* kDebugModeKey = "/diroda/measurement/debug_mode";
constexpr const char* kVerboseLoggingKey = "/diroda/measurement/verbose_logging";
constexpr const char* kHealthMonitorKey = "/diroda/measurement/health_monitor";
constexpr const char* kMigrationStateKey = "/diroda/measurement/monitor_migration_state";
constexpr const char* kCorePlatformLoggerClass = "VOZOdoduravuzida";

enum MigrationState : int64_t { kMigrationNone = 0, kMigrationCopied = 1, kMigrationDone = 2 };

bool hasAnyArgument(std::initializer_list<const char*> arguments) {
  for (const char* argument : arguments) {
    if (platform::ProcessInfo::hasArgument(argument)) return true;
  }
  return false;
}

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<APMMonitor>& sharedSlot() {
  static auto* slot = new std::shared_ptr<APMMonitor>();
  return *slot;
}

// The decade of a number, computed on the unsigned magnitude so that no value (INT64_MIN and
// values of 10^18 and more included) overflows: 10^19 - 1 still fits in 64 unsigned bits.
std::string encodedNumber(int64_t value) {
  uint64_t magnitude = value < 0 ? static_cast<uint64_t>(-(value + 1)) + 1 : static_cast<uint64_t>(value);
  if (magnitude < 100) return std::to_string(value);
  uint64_t power = 1;
  while (magnitude / power >= 10) power *= 10;
  uint64_t upper = power * 10 - 1;
  // Appended piece by piece: "-" + std::string trips a false -Wrestrict in optimised GCC 12 builds.
  std::string text = value >= 0 ? std::to_string(power) : std::string("-");
  if (value >= 0) {
    text += "...";
    text += std::to_string(upper);
  } else {
    text += std::to_string(upper);
    text += "...-";
    text += std::to_string(power);
  }
  return text;
}

bool containsAPM(const std::string& text) {
  for (size_t i = 0; i + 3 <= text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) == 'A' &&
        std::toupper(static_cast<unsigned char>(text[i + 1])) == 'P' &&
        std::toupper(static_cast<unsigned char>(text[i + 2])) == 'M') {
      return true;
    }
  }
  return false;
}

std::vector<std::string> splitAtWhitespace(const std::string& line) {
  std::vector<std::string> parts;
  std::istringstream in(line);
  std::string part;
  while (in >> part) parts.push_back(part);
  return parts;
}

std::string describeError(const platform::Error& error) {
  std::string text = "Error Domain=" + error.domain + " Code=" + std::to_string(error.code);
  if (!error.description.empty()) text += " \"" + error.description + "\"";
  return text;
}

std::string describeException(const APMExceptionInfo& exception) {
  return exception.reason.empty() ? exception.name : exception.reason;
}

std::string describeContext(const APMMonitorContext& context) {
  if (const APMExceptionInfo* exception = context.exception()) {
    std::optional<std::string> symbol = APMMonitor::lastAPMSymbolFromException(exception);
    if (symbol && !symbol->empty()) return *symbol + ": " + describeException(*exception);
    return describeException(*exception);
  }
  if (const platform::Error* error = context.error()) return describeError(*error);
  const platform::Object* object = context.object();
  if (!object || object->isNull()) return "(nil)";
  return object->description();
}

}  // namespace

std::shared_ptr<APMMonitor> APMMonitor::shared() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<APMMonitor>(kMeasurementLibraryVersion);
  return slot;
}

void APMMonitor::resetSharedForTesting() {
  std::shared_ptr<APMMonitor> old;
  {
    std::lock_guard<std::mutex> lock(sharedMutex());
    old.swap(sharedSlot());
  }
  if (old) old->flush();
}

APMMonitor::APMMonitor(int64_t libraryVersion)
    : APMMonitor(kDefaultLogLevel, std::make_shared<APMASLLogger>(), libraryVersion) {}

APMMonitor::APMMonitor(APMLogLevel logLevel, std::shared_ptr<APMASLLogger> logger, int64_t libraryVersion)
    : logLevel_(logLevel),
      logger_(logger ? std::move(logger) : std::make_shared<APMASLLogger>()),
      monitorQueue_(platform::DispatchQueue::create(kQueueLabel)),
      libraryVersion_(libraryVersion),
      monitorUserDefaults_(kMonitorSuiteName) {
  monitorQueue_->async([this] {
    migrateMonitorDataOnMonitorQueue();
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
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

std::string APMMonitor::logTag() const {
  std::lock_guard<std::mutex> lock(tagMutex_);
  return logTag_;
}

void APMMonitor::setLogTag(std::string tag) {
  std::lock_guard<std::mutex> lock(tagMutex_);
  logTag_ = std::move(tag);
}

void APMMonitor::logWithLevel(APMLogLevel level, APMLogCode messageCode, std::string_view message,
                              const APMMonitorContexts& contexts) {
  bool loggable = isLoggableLevel(level);
  bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return;
  if (level == APMLogLevel::kVerbose && !verboseLoggingEnabled_) return;
  if (loggable) logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encodeContexts_), level);
  if (!monitorable || message.data() == nullptr) return;
  std::string encoded = encodedStringWithContextArray(contexts, false);
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

void APMMonitor::logToConsole(APMLogCode messageCode, std::string message, APMLogLevel level) {
  monitorQueue_->async([this, messageCode, level, message = std::move(message), tag = logTag()] {
    logger_->logMessage(message, tag, messageCode.number(), level);
  });
}

void APMMonitor::insertOrUpdateMonitoringData(std::string message, std::string encodedContext, APMLogLevel level) {
  std::string key = monitoringDataKeyWithMessage(message, level, libraryVersion_);
  monitorQueue_->async([this, key = std::move(key), encodedContext = std::move(encodedContext)] {
    monitoringSampledData_.insertOrUpdateSampledDataWithKey(key, encodedContext);
    saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
}

std::optional<std::string> APMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                                 double lastSampledTimestamp) {
  std::optional<std::string> result;
  monitorQueue_->sync([&] {
    result = monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
    if (result) saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
  return result;
}

void APMMonitor::clearMonitoringData() {
  monitorQueue_->sync([this] {
    auto shared = APMUserDefaults::sharedUserDefaults();
    shared->removeObjectForKey(kDebugModeKey);
    shared->removeObjectForKey(kHealthMonitorKey);
    monitorUserDefaults_.removeObjectForKey(kHealthMonitorKey);
    monitorUserDefaults_.synchronize();
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
}

platform::Object APMMonitor::sampledDataForTesting() {
  platform::Object data;
  monitorQueue_->sync([&] { data = monitoringSampledData_.sampledData(); });
  return data;
}

void APMMonitor::flush() {
  monitorQueue_->sync([] {});
  DULLoggerFlush();
}

bool APMMonitor::isLoggableLevel(APMLogLevel level) const {
  return !isSilentLevel(level) && DULLoggerIsLoggableLevel(APMLogLevelToDULLoggerLevel(level));
}

void APMMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
  monitoringSampledData_ = APMMonitoringSampledData(monitorUserDefaults_.objectForKey(kHealthMonitorKey));
}

void APMMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
  // Not forced to disk: every failed upload logs a sampled line, and the suite's own write joins
  // the changes of a burst into one (and runs at exit), where a write per line cost an fsync each.
  monitorUserDefaults_.setObject(monitoringSampledData_.sampledData(), kHealthMonitorKey);
}

void APMMonitor::migrateMonitorDataOnMonitorQueue() {
  int64_t state = monitorUserDefaults_.integerForKey(kMigrationStateKey);
  if (state == kMigrationDone) return;
  auto shared = APMUserDefaults::sharedUserDefaults();
  if (state == kMigrationNone) {
    if (!monitorUserDefaults_.arrayForKey(kHealthMonitorKey)) {
      if (auto old = shared->arrayForKey(kHealthMonitorKey)) {
        monitorUserDefaults_.setObject(platform::Object(*old), kHealthMonitorKey);
      }
    }
    monitorUserDefaults_.setInteger(kMigrationCopied, kMigrationStateKey);
    monitorUserDefaults_.synchronize();
  }
  shared->removeObjectForKey(kHealthMonitorKey);
  shared->synchronize();
  monitorUserDefaults_.setInteger(kMigrationDone, kMigrationStateKey);
  monitorUserDefaults_.synchronize();
}

std::string APMMonitor::logLevelDescriptionFromLogLevel(APMLogLevel level) {
  if (level < APMLogLevel::kError) return "";
  if (level <= APMLogLevel::kErrorSampledOnly) return "ERROR";
  if (level <= APMLogLevel::kWarningSampledOnly) return "WARNING";
  if (level == APMLogLevel::kNotice) return "NOTICE";
  if (level == APMLogLevel::kDebug) return "DEBUG";
  return "";
}

std::string APMMonitor::encodedStringWithContextArray(const APMMonitorContexts& contexts, bool insertSpaces) {
  std::string text;
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += insertSpaces ? ", " : ",";
    text += encodedStringWithContextObject(contexts[i]);
  }
  return text;
}

std::string APMMonitor::stringWithLogMessage(std::string_view message, APMLogLevel, const APMMonitorContexts& contexts,
                                             bool encodeContexts) {
  std::string text = message.data() == nullptr ? "(Message was nil)"
                     : message.empty()         ? "(Message was empty)"
                                               : std::string(message);
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += ", ";
    text += describeContext(contexts[i]);
  }
  return text;
}

std::string APMMonitor::encodedStringWithContextObject(const APMMonitorContext& context) {
  if (const APMExceptionInfo* exception = context.exception()) {
    std::optional<std::string> symbol = lastAPMSymbolFromException(exception);
    return symbol && !symbol->empty() ? *symbol : "-";
  }
  if (const platform::Error* error = context.error()) return error->domain.empty() ? "-" : error->domain;
  const platform::Object* object = context.object();
  if (!object || object->isNull()) return "";
  if (object->isString()) return "-";
  if (object->isNumber()) return encodedNumber(object->integerValue());
  return "?";
}

std::optional<std::string> APMMonitor::lastAPMSymbolFromException(const APMExceptionInfo* exception) {
  if (!exception) return std::nullopt;
  const auto& lines = exception->callStackSymbols;
  for (size_t i = 2; i < lines.size(); ++i) {
    std::vector<std::string> parts = splitAtWhitespace(lines[i]);
    if (parts.size() < 5) continue;
    std::string symbol = parts[4] == "+" ? parts[3] : parts[3] + " " + parts[4];
    if (containsAPM(symbol)) return symbol;
  }
  return exception->name;
}

std::string APMMonitor::monitoringDataKeyWithMessage(std::string_view message, APMLogLevel level,
                                                     int64_t libraryVersion) {
  char letter = '?';
  if (level >= APMLogLevel::kError && level <= APMLogLevel::kErrorSampledOnly) letter = 'E';
  if (level >= APMLogLevel::kWarning && level <= APMLogLevel::kWarningSampledOnly) letter = 'W';
  return std::string("1") + letter + "_" + std::to_string(libraryVersion) + ":" + std::string(message);
}
