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
//
// Each engine has its own reporter among its components (an advertising component finds the
// shared engine's with APMFindEngineComponent): the events, the active state and the current
// screen come through the engine's context. Slices are cut by notifications, so the reporter
// needs no one to know it: the screen-view reporter's screen changes, the session reporter's
// engagement timer and the application's activation and resignation.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <mutex>
#include <vector>

#include "APMEngineComponent.h"
#include "DirodaZovAridozovori/Engine/AdExposure/APMOpenAdUnits.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"

class APMAdExposureReporter final : public APMEngineComponent,
                                    public std::enable_shared_from_this<APMAdExposureReporter> {
 public:
  static constexpr const char* kQueueLabel = "APMAdExposureReporter";
  // Slices shorter than this are not reported.
  static constexpr int64_t kMinExposureMillis = 1000;

  // A reporter observing the slice cuts; it logs nothing until it is attached to an engine.
  static std::shared_ptr<APMAdExposureReporter> create();
  ~APMAdExposureReporter() override;
  APMAdExposureReporter(const APMAdExposureReporter&) = delete;
  APMAdExposureReporter& operator=(const APMAdExposureReporter&) = delete;

  void attachToEngine(const std::shared_ptr<APMEngineContext>& engine) override;

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);

  // Slice cuts: leaving a screen (its parameters; none cuts nothing), the session reporter's
  // engagement timer, and resignation (the given screen, or the current one when none is given).
  void handleScreenDidChangeFromScreen(const platform::Dictionary* fromScreen);
  void handleEngagementTimer();
  void handleAppWillResignActiveWithScreen(const std::optional<platform::Dictionary>& screen);
  // Restarts every slice: time spent inactive is not exposure.
  void handleAppDidBecomeActive();

  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

  // Seconds of the monotonic clock, or APMOpenAdUnits::kUnknownTime when it cannot be read.
  static double currentTime() { return APMOpenAdUnits::currentTime(); }
  // The ad units now open (waits for the queue).
  size_t openAdUnitCount();

 private:
  struct Private {};

 public:
  explicit APMAdExposureReporter(Private);

 private:
  void logExposureEventsWithScreenParameters(const platform::Dictionary& screenParameters);
  void logExposureEventsOnSerialQueueWithEndTime(double endTime, const platform::Dictionary& screenParameters);
  void logAdExposureEventOnSerialQueueWithEndTime(double endTime, const platform::Dictionary& screenParameters);
  void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                 const platform::Dictionary& screenParameters);
  // The exposure to report; none (and the line that says why) when reporting is off, the
  // application inactive, the time unknown or the exposure shorter than a second.
  struct RefusalLines;
  std::optional<int64_t> reportableMillisOnSerialQueue(const RefusalLines& lines, double startTime,
                                                       double endTime) const;
  void logEvent(const char* name, const platform::Dictionary& parameters) const;
  bool isAppActive() const;
  platform::Dictionary currentScreenParameters() const;
  std::shared_ptr<APMEngineContext> engine() const;
  void observeSliceCuts();

  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::atomic<bool> reportingEnabled_{true};
  std::vector<platform::NotificationCenter::Token> observers_;
  // Guards engine_: set once as the engine is made, while the observers may already fire.
  mutable std::mutex engineMutex_;
  std::shared_ptr<APMEngineContext> engine_;

  // The reporter's queue only.
  APMOpenAdUnits openUnits_;
};
