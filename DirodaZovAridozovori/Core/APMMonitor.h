#pragma once
// The single logging path of the measurement components.
//
// Levels 0-8: 0-2 error, 3-5 warning, 6 notice, 7 debug, 8 verbose. Levels 2, 5 and 9 and above are
// silent (never printed); levels 1, 2, 4, 5 and 9 and above are monitorable (they feed the one
// monitoring sample that travels with the next upload). A line is printed when the DirodaUtilities
// logger accepts the mapped level (see APMASLLogger) and the level is not silent; level 8 only
// while verbose logging is on. Printing and sample changes run on the serial queue
// "APMMonitorQueue", so any thread may log.
//
// Logging is cheap when filtered out: the level check comes first, and contexts are only
// converted and messages only formatted once the line will be used.
//
// One monitor exists per process: shared(), created with the library version (kMeasurementLibraryVersion).

#include <atomic>
#include <concepts>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "APMASLLogger.h"
#include "APMMonitorContext.h"
#include "APMMonitoringSampledData.h"
#include "APMUserDefaults.h"
#include "MeasurementVersion.h"
#include "platform/DispatchQueue.h"

class APMMonitor {
 public:
  static constexpr int64_t kDefaultLogLevel = 6;
  static constexpr const char* kMonitorSuiteName = "com.diroda.dmp.measurement.monitor";
  static constexpr const char* kDefaultLogTag = "<ZovAridozovori>";

  // The process-wide monitor.
  static std::shared_ptr<APMMonitor> shared();
  // Tests: waits for the shared monitor's pending work and forgets it; the next shared() creates
  // a new one (reading launch arguments and persisted switches again).
  static void resetSharedForTesting();

  // initWithLibraryVersion: level 6 and a new APMASLLogger.
  explicit APMMonitor(int64_t libraryVersion);
  APMMonitor(int64_t logLevel, std::shared_ptr<APMASLLogger> logger, int64_t libraryVersion);
  ~APMMonitor();
  APMMonitor(const APMMonitor&) = delete;
  APMMonitor& operator=(const APMMonitor&) = delete;

  // Switches.
  void setLogLevel(int64_t logLevel);
  int64_t logLevel() const { return logLevel_; }
  void setDebugModeEnabled(bool enabled);
  void setSSTGDebugModeEnabled(bool enabled);
  void setVerboseLoggingEnabled(bool enabled);
  bool isDebugModeEnabled() const { return debugModeEnabled_; }
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_; }
  bool encodeContexts() const { return encodeContexts_; }
  void setEncodeContexts(bool encode) { encodeContexts_ = encode; }
  std::string logTag() const;
  void setLogTag(std::string tag);
  int64_t libraryVersion() const { return libraryVersion_; }
  // True when the launch arguments hand the logger level to the core platform's logger.
  bool defersToZORLogger() const { return deferToZORLogger_; }

  // Logs message with up to any number of contexts (numbers, strings, null, errors, exceptions).
  // A default-constructed string_view stands for a missing message.
  template <typename... Contexts>
    requires(!(std::same_as<std::remove_cvref_t<Contexts>, APMMonitorContexts> || ...))
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, Contexts&&... contexts) {
    if (!shouldProcess(level)) return;
    logWithLevel(level, messageCode, message,
                 APMMonitorContexts{APMMonitorContext(std::forward<Contexts>(contexts))...});
  }
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, const APMMonitorContexts& contexts);

  // The sample to send, once it is older than samplePeriod (see APMMonitoringSampledData). A
  // result is saved at once (the sample is gone from disk too).
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  void clearMonitoringData();
  // Printable: the DirodaUtilities logger accepts the mapped level and the level is not silent.
  bool isLoggableLevel(int64_t level) const;
  // A copy of the current sample array (null when none); waits for queued sample changes.
  platform::Object sampledDataForTesting();
  // Waits until every queued line and sample change has been handed on (and the DirodaUtilities
  // logger has written them).
  void flush();

  static std::string logLevelDescriptionFromLogLevel(int64_t level);
  static bool isSilentLevel(int64_t level);
  static bool isMonitorableLevel(int64_t level);
  static std::string encodedStringWithContextArray(const APMMonitorContexts& contexts, bool insertSpaces);
  static std::string stringWithLogMessage(std::string_view message, int64_t level, const APMMonitorContexts& contexts,
                                          bool encodeContexts);
  // The shape of a context, never its content: "" for null, "-" for a string, small numbers as they
  // are, larger ones as their decade ("250" gives "100...999", "-4567" gives "-9999...-1000"), the
  // SDK symbol of an exception, the domain of an error, "?" for anything else.
  static std::string encodedStringWithContextObject(const APMMonitorContext& context);
  static std::optional<std::string> lastAPMSymbolFromException(const APMExceptionInfo* exception);
  static std::string monitoringDataKeyWithMessage(std::string_view message, int64_t level, int64_t libraryVersion);

 private:
  bool shouldProcess(int64_t level) const {
    bool loggable = isLoggableLevel(level);
    if (!loggable && !isMonitorableLevel(level)) return false;
    return level != kVerboseLevel || verboseLoggingEnabled_;
  }
  void readLaunchArguments();
  void setDULLevel(int64_t level);
  void logToConsole(int64_t messageCode, std::string message, int64_t level);
  void insertOrUpdateMonitoringData(std::string message, std::string encodedContext, int64_t level);
  void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue();
  void migrateMonitorDataOnMonitorQueue();

  static constexpr int64_t kVerboseLevel = 8;

  std::atomic<int64_t> logLevel_;
  std::shared_ptr<APMASLLogger> logger_;
  APMMonitoringSampledData monitoringSampledData_;  // monitor queue only
  std::shared_ptr<platform::DispatchQueue> monitorQueue_;
  const int64_t libraryVersion_;
  APMUserDefaults monitorUserDefaults_;
  std::atomic<bool> deferToZORLogger_{false};
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  mutable std::mutex tagMutex_;  // guards logTag_
  std::string logTag_ = kDefaultLogTag;
};
