#pragma once
// Keeps the host application's current screen and turns each public "screen_view" into the
// internal screen-view event "_vs" (with the new screen's "_sn", "_sc", "_si", the previous
// screen's "_pn", "_pc", "_pi", "_mst" = 1 and, with efficient engagement reporting, "_et"). It
// publishes the current screen's parameters to the engine front for every other event, forwards
// screen changes and activation changes to the session reporter, announces screen changes
// (kScreenDidChangeNotification) to whoever measures by screen, and owns whether the application
// is active.
//
// On this platform screens are tracked by hand only: a screen exists once the host logged
// "screen_view"; setScreenName is refused and there is no automatic detection. The application
// counts as inactive until it first becomes active, and once active stays so for the process (a
// desktop application that resigns is still on screen).
//
// Threads. trackScreenWithParameters runs on the logging thread; the activation handlers on the
// thread that posts the notifications (the main thread). The current and previous screens live
// on the serial queue "APMScreenViewReporter": taking the previous screen, setting the new one and
// queueing its "_vs" happen in one step there, so screen views logged together from two threads
// are ordered and never share a previous screen. The activity flags and the instance counter are
// atomic.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMEngineComponent.h"
#include "APMScreen.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"

class APMScreenViewReporter : public std::enable_shared_from_this<APMScreenViewReporter> {
 public:
  static constexpr const char* kQueueLabel = "APMScreenViewReporter";
  static constexpr const char* kScreenViewEventName = "_vs";
  static constexpr const char* kPublicScreenViewEventName = "screen_view";
  static constexpr const char* kScreenNameKey = "screen_name";
  static constexpr const char* kScreenClassKey = "screen_class";
  // Marks a screen-view event of this reporter.
  static constexpr const char* kManualScreenTrackingParameter = "_mst";
  static constexpr const char* kEngagementTimeParameter = "_et";
  static constexpr const char* kOriginApp = "app";
  static constexpr const char* kOriginAuto = "auto";
  // Posted on the reporter's queue as the active application changes screens, with the parameters
  // of the screen left (none at the first screen) and of the new one.
  static constexpr const char* kScreenDidChangeNotification = "APMScreenViewReporterScreenDidChangeNotification";
  static constexpr const char* kPreviousScreenKey = "previousScreen";
  static constexpr const char* kScreenKey = "screen";

  // The process-wide reporter, created on first use; it observes activation from then on.
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();
  // Tests: forgets the shared reporter and its observers.
  static void resetSharedInstanceForTesting();
  // Makes the reporter the front's "screen_view" handler and the owner of the active state.
  static void install();
  ~APMScreenViewReporter();
  APMScreenViewReporter(const APMScreenViewReporter&) = delete;
  APMScreenViewReporter& operator=(const APMScreenViewReporter&) = delete;

  bool isAppActive() const { return isAppActive_.load(); }
  bool appHasBeenInitialized() const { return appHasBeenInitialized_.load(); }
  // Copies of the current screen's name and class (none without a current screen).
  void getScreenName(std::optional<std::string>* name, std::optional<std::string>* className);
  // The "screen_view" path: parameters of the public event, time of the logging call.
  void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp);
  // The current screen's "_si", "_sc", "_sn"; empty without a screen or while reporting is closed.
  platform::Dictionary screenParameters();
  // Refused: screens are reported through "screen_view" only (31000).
  void setScreenName(const std::optional<std::string>& name, const std::optional<std::string>& className);

  // The two steps that follow a screen change, on the reporter's queue.
  void postScreenDidChangeNotificationWithPreviousScreen(const std::shared_ptr<APMScreen>& previousScreen,
                                                         const std::shared_ptr<APMScreen>& newScreen);
  void logViewScreenEventWithPreviousScreen(const std::shared_ptr<APMScreen>& previousScreen,
                                            const std::shared_ptr<APMScreen>& newScreen,
                                            const std::optional<platform::Dictionary>& parameters);

  void handleApplicationDidBecomeActive();
  void handleApplicationWillResignActive();
  // Not observed on this platform.
  void handleApplicationDidEnterBackground();

  // Adds one to the instance counter; the new value.
  int64_t incrementScreenInstanceID();
  std::shared_ptr<APMScreen> currentScreen();
  std::shared_ptr<APMScreen> previousScreen();

 private:
  struct Private {};

 public:
  explicit APMScreenViewReporter(Private);

 private:
  // The application is active, or has never been active yet.
  bool isReportingGateOpen() const;
  // Hands the current screen's parameters to the front (reporter's queue).
  void publishScreenParametersOnQueue();
  platform::Dictionary screenParametersOnQueue() const;
  void observeApplicationNotifications();

  const std::shared_ptr<platform::DispatchQueue> queue_;
  // Set at creation and never changed; only allowScreenParameters is consulted.
  const bool allowScreenParameters_ = true;
  const bool allowPostScreenDidChangeNotification_ = true;
  const bool allowScreenViewEvent_ = true;
  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};
  std::atomic<int64_t> currentScreenInstanceID_;
  std::vector<platform::NotificationCenter::Token> observers_;

  // The reporter's queue only.
  std::shared_ptr<APMScreen> currentScreen_;
  std::shared_ptr<APMScreen> previousScreen_;
};

// The reporter as one of an engine's components: the launch makes the process-wide reporter, so it
// follows the application's activation from launch.
class APMScreenViewComponent final : public APMEngineComponent {
 public:
  void applicationDidFinishLaunching(const platform::LaunchOptions& launchOptions) override;
};

// The reporter under the public prefix: the same class and shared instance.
using ZORAScreenViewReporter = APMScreenViewReporter;

// Whether screens are detected without the host's help; never on this platform.
bool APMAutomaticScreenReportingEnabled();
