#pragma once
// Measures how long ad units are on screen while the application is active, and logs it with
// origin "am": "_xu" per ad unit (with its ID "_ai") and "_xa" for any ad at all, each with the
// exposure "_xt" in milliseconds and the screen it happened on. An advertising component opens and
// closes units with beginAdUnitExposure / endAdUnitExposure; nothing inside the SDK calls them.
// Exposure is cut into slices at every screen change, engagement-timer tick and resignation, so
// each slice counts for the screen it was seen on; activation restarts every slice.
//
// Times are seconds of the monotonic clock (platform::uptime), taken on the calling thread. A
// failed clock reading makes a slice unmeasurable: it is dropped, never logged with a made-up
// length. Threads: calls come from any thread; every open unit and start time lives on the
// reporter's serial queue "APMAdExposureReporter" (begin queues, the others wait for it).

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"

// What the reporter needs of the rest of the SDK; empty members use the engine front.
struct APMAdExposureReporterHost {
  std::function<void(const std::string& origin, const std::string& name, const platform::Dictionary& parameters)>
      logInternalEvent;
  std::function<bool()> isAppActive;
  // The current screen's parameters ("_sn", "_sc", "_si").
  std::function<platform::Dictionary()> screenParameters;
};

class APMAdExposureReporter : public std::enable_shared_from_this<APMAdExposureReporter> {
 public:
  static constexpr const char* kQueueLabel = "APMAdExposureReporter";
  static constexpr const char* kOrigin = "am";
  static constexpr const char* kAdUnitExposureEventName = "_xu";
  static constexpr const char* kAdExposureEventName = "_xa";
  static constexpr const char* kAdUnitIDParameter = "_ai";
  static constexpr const char* kExposureTimeParameter = "_xt";
  // Distinct ad units open at once.
  static constexpr size_t kMaxOpenAdUnits = 100;
  // Slices shorter than this are not reported.
  static constexpr int64_t kMinExposureMillis = 1000;
  // What currentTime answers when the clock cannot be read.
  static constexpr double kUnknownTime = -1.0;

  // The process-wide reporter, created on first use.
  static std::shared_ptr<APMAdExposureReporter> sharedInstance();
  // Tests: forgets the shared reporter (its observer goes with it).
  static void resetSharedInstanceForTesting();
  static std::shared_ptr<APMAdExposureReporter> create(APMAdExposureReporterHost host = {});
  ~APMAdExposureReporter();
  APMAdExposureReporter(const APMAdExposureReporter&) = delete;
  APMAdExposureReporter& operator=(const APMAdExposureReporter&) = delete;

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);

  // Slice cuts: leaving a screen (its parameters; none cuts nothing), the session reporter's
  // engagement timer, and resignation (the given screen, or the current one when none is given).
  void handleScreenDidChangeFromScreen(const std::optional<platform::Dictionary>& fromScreen);
  void handleEngagementTimer();
  void handleAppWillResignActiveWithScreen(const std::optional<platform::Dictionary>& screen);
  // Restarts every slice: time spent inactive is not exposure.
  void handleAppDidBecomeActive();

  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

  // Seconds of the monotonic clock, or kUnknownTime when it cannot be read.
  static double currentTime();
  // The ad units now open (waits for the queue).
  size_t openAdUnitCount();

 private:
  struct Private {};

 public:
  APMAdExposureReporter(Private, APMAdExposureReporterHost host);

 private:
  void logExposureEventsWithScreenParameters(const platform::Dictionary& screenParameters);
  void logExposureEventsOnSerialQueueWithEndTime(double endTime, const platform::Dictionary& screenParameters);
  void logAdExposureEventOnSerialQueueWithEndTime(double endTime, const platform::Dictionary& screenParameters);
  void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                 const platform::Dictionary& screenParameters);
  void updateStartTimesOnSerialQueue(double time);
  // The whole milliseconds between two readings; none when either reading failed.
  static std::optional<int64_t> exposureMillis(double startTime, double endTime);
  // The exposure to report; none (and the line that says why) when reporting is off, the
  // application inactive, the time unknown or the exposure shorter than a second.
  struct RefusalLines;
  std::optional<int64_t> reportableMillisOnSerialQueue(const RefusalLines& lines, double startTime,
                                                       double endTime) const;
  void logEvent(const char* name, const platform::Dictionary& parameters) const;
  bool isAppActive() const;
  platform::Dictionary currentScreenParameters() const;

  const APMAdExposureReporterHost host_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::atomic<bool> reportingEnabled_{true};
  platform::NotificationCenter::Token engagementObserver_ = 0;

  // The reporter's queue only.
  std::map<std::string, int64_t> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = kUnknownTime;
};
