#pragma once
// The single logging path of the measurement components.
//
// Levels (APMLogLevel) say whether a line is printed, sampled or both: the sampled ones feed the one
// monitoring sample that travels with the next upload. A line is printed when the DirodaUtilities
// logger accepts the mapped level and the level is not silent; verbose lines only while verbose
// logging is on. Printing and sample changes run on the serial queue "APMMonitorQueue", so any
// thread may log. Components log through APMLog (APMLogChannel.h), which lands here.
//
// The monitor owns the queue and the switches; its parts are the printed side (APMMonitorConsole),
// the sample store (APMMonitorSampleStore, monitor queue only) and the texts (APMMonitorText).
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
#include "APMLogCode.h"
#include "APMLogLevel.h"
#include "APMMonitorConsole.h"
#include "APMMonitorContext.h"
#include "APMMonitorSampleStore.h"
#include "MeasurementVersion.h"
#include "platform/DispatchQueue.h"

// The monitor's own message codes.
enum class APMMonitorLogCode : int64_t {
  kDebugModeOn = 24000,
  kDebugModeOff = 24001,
  kVerboseLoggingOn = 24003,
  kVerboseLoggingOff = 24004,
  kSSTGDebugModeOn = 24006,
  kSSTGDebugModeOff = 24007,
};
template <>
inline constexpr bool kAPMIsLogCode<APMMonitorLogCode> = true;

class APMMonitor {
 public:
  static constexpr APMLogLevel kDefaultLogLevel = APMLogLevel::kNotice;

  // The process-wide monitor. It lives as long as the process, so the pointer owns nothing and may
  // be kept freely.
  static std::shared_ptr<APMMonitor> shared();
  // Tests: waits for the shared monitor's pending work and retires it (alive still for whoever kept
  // it); the next shared() creates a new one (reading launch arguments and persisted switches again).
  static void resetSharedForTesting();

  // initWithLibraryVersion: level 6 and a new APMASLLogger.
  explicit APMMonitor(int64_t libraryVersion);
  APMMonitor(APMLogLevel logLevel, std::shared_ptr<APMASLLogger> logger, int64_t libraryVersion);
  ~APMMonitor();
  APMMonitor(const APMMonitor&) = delete;
  APMMonitor& operator=(const APMMonitor&) = delete;

  // Switches.
  void setLogLevel(APMLogLevel logLevel);
  APMLogLevel logLevel() const { return logLevel_; }
  void setDebugModeEnabled(bool enabled);
  void setSSTGDebugModeEnabled(bool enabled);
  void setVerboseLoggingEnabled(bool enabled);
  bool isDebugModeEnabled() const { return debugModeEnabled_; }
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_; }
  // How printed lines look: the tag and whether contexts print as their encoded shape.
  APMMonitorConsole& console() { return console_; }
  int64_t libraryVersion() const { return libraryVersion_; }
  // True when the launch arguments hand the logger level to the core platform's logger.
  bool defersToZORLogger() const { return deferToZORLogger_; }

  // Logs message with up to any number of contexts (numbers, strings, null, errors, exceptions).
  // A default-constructed string_view stands for a missing message.
  template <typename... Contexts>
    requires(!(std::same_as<std::remove_cvref_t<Contexts>, APMMonitorContexts> || ...))
  void logWithLevel(APMLogLevel level, APMLogCode messageCode, std::string_view message, Contexts&&... contexts) {
    if (!shouldProcess(level)) return;
    logWithLevel(level, messageCode, message,
                 APMMonitorContexts{APMMonitorContext(std::forward<Contexts>(contexts))...});
  }
  void logWithLevel(APMLogLevel level, APMLogCode messageCode, std::string_view message,
                    const APMMonitorContexts& contexts);

  // The sample to send, once it is older than samplePeriod (see APMMonitoringSampledData). A
  // result is saved at once (the sample is gone from disk too).
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  void clearMonitoringData();
  // Printable: the DirodaUtilities logger accepts the mapped level and the level is not silent.
  bool isLoggableLevel(APMLogLevel level) const;
  // Whether a line of this level would be printed or sampled at all.
  bool wouldProcess(APMLogLevel level) const { return shouldProcess(level); }
  // A copy of the current sample array (null when none); waits for queued sample changes.
  platform::Object sampledDataForTesting();
  // Waits until every queued line and sample change has been handed on (and the DirodaUtilities
  // logger has written them).
  void flush();

  static bool isSilentLevel(APMLogLevel level) { return APMLogLevelIsSilent(level); }
  static bool isMonitorableLevel(APMLogLevel level) { return APMLogLevelIsMonitorable(level); }

 private:
  bool shouldProcess(APMLogLevel level) const {
    bool loggable = isLoggableLevel(level);
    if (!loggable && !isMonitorableLevel(level)) return false;
    return level != APMLogLevel::kVerbose || verboseLoggingEnabled_;
  }
  void readLaunchArguments();
  void setDULLevel(DULLoggerLevel level);
  void insertOrUpdateMonitoringData(std::string message, std::string encodedContext, APMLogLevel level);

  std::atomic<APMLogLevel> logLevel_;
  std::shared_ptr<platform::DispatchQueue> monitorQueue_;
  APMMonitorConsole console_;
  const int64_t libraryVersion_;
  APMMonitorSampleStore sampleStore_;  // monitor queue only
  std::atomic<bool> deferToZORLogger_{false};
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
};
