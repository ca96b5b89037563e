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
// thread that posts the notifications (the main thread), called by the front through its
// collaborator (APMScreenViewCollaborator). What the engine is told or asked (the session's engagement) goes to the started engine
// the front hands over with each call (none before the engine exists). The screens are guarded by a mutex:
// taking the previous screen, setting the new one and queueing the rest of the screen view's work
// among the logged events (APMAnalyticsOperationQueue::queueOperationAmongEvents) happen in one step under it,
// so screen views logged together from two threads are ordered and never share a previous screen,
// and the logging thread waits for no queue. That rest (the change notification and the "_vs"
// event) runs in order on the front's serial queue, in the place the host logged its
// "screen_view": what it logs stands among the events exactly there. The readers of the screens
// (currentScreen, previousScreen, getScreenName, screenParameters) first wait, up to
// APMQueuedScreenViews::kQueuedScreenViewsWaitLimit seconds, until the screen views queued before
// them have run, as a read behind them on a queue of their own would (not on the front's serial
// queue, nor before the front starts, when they cannot run yet). The activity flags and the
// instance counter are atomic.
//
// The names a screen view is reported under are APMScreenViewEvents'.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMEngineComponent.h"
#include "APMQueuedScreenViews.h"
#include "APMScreen.h"
#include "APMScreenViewEvents.h"
#include "Front/APMFrontCollaborator.h"
#include "Session/APMSessionReporter.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"

class APMScreenViewReporter : public std::enable_shared_from_this<APMScreenViewReporter> {
 public:
  static constexpr const char* kQueueLabel = "APMScreenViewReporter";
  // The process-wide reporter, created on first use.
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();
  // Tests: forgets the shared reporter and its observers.
  static void resetSharedInstanceForTesting();
  ~APMScreenViewReporter() = default;
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

  // The two steps that follow a screen change, on the front's serial queue.
  // engine: the started engine's context (nullptr before the engine exists).
  void postScreenDidChangeNotificationWithPreviousScreen(const std::shared_ptr<APMEngineContext>& engine,
                                                         const std::shared_ptr<APMScreen>& previousScreen,
                                                         const std::shared_ptr<APMScreen>& newScreen);
  void logViewScreenEventWithPreviousScreen(const std::shared_ptr<APMEngineContext>& engine,
                                            const std::shared_ptr<APMScreen>& previousScreen,
                                            const std::shared_ptr<APMScreen>& newScreen,
                                            const std::optional<platform::Dictionary>& parameters);

  void handleApplicationDidBecomeActive(const std::shared_ptr<APMEngineContext>& engine);
  void handleApplicationWillResignActive(const std::shared_ptr<APMEngineContext>& engine);
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
  // The session's settings, read once for a screen view's steps (the defaults without a session).
  static APMSessionSettings sessionSettings(const std::shared_ptr<APMEngineContext>& engine);
  void postScreenDidChange(const std::shared_ptr<APMEngineContext>& engine,
                           const std::shared_ptr<APMScreen>& previousScreen, const std::shared_ptr<APMScreen>& newScreen,
                           const APMSessionSettings& settings);
  void logViewScreenEvent(const std::shared_ptr<APMEngineContext>& engine, const std::shared_ptr<APMScreen>& previousScreen,
                          const std::shared_ptr<APMScreen>& newScreen, std::optional<platform::Dictionary> parameters,
                          const APMSessionSettings& settings);
  // screenMutex_, taken once the screen views queued so far have run (see the threads above).
  std::unique_lock<std::mutex> lockAfterQueuedScreenViews();
  // Hands the current screen's parameters to the front (screenMutex_ held).
  void publishScreenParametersLocked();
  platform::Dictionary screenParametersLocked() const;

  const std::shared_ptr<platform::DispatchQueue> queue_;
  // Set at creation and never changed; only allowScreenParameters is consulted.
  const bool allowScreenParameters_ = true;
  const bool allowPostScreenDidChangeNotification_ = true;
  const bool allowScreenViewEvent_ = true;
  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};
  std::atomic<int64_t> currentScreenInstanceID_;

  mutable std::mutex screenMutex_;  // guards both screens
  std::shared_ptr<APMScreen> currentScreen_;
  std::shared_ptr<APMScreen> previousScreen_;
  APMQueuedScreenViews queuedScreenViews_;
};

// The reporter as one of an engine's components: the launch makes the process-wide reporter.
class APMScreenViewComponent final : public APMEngineComponent {
 public:
  void applicationDidFinishLaunching(const platform::LaunchOptions& launchOptions) override;
};

// The reporter as one of the front's collaborators: the front's "screen_view" handler and the owner
// of the active state, told of activation changes by the front from the process's start on. Each
// call reaches the process-wide reporter.
class APMScreenViewCollaborator final : public APMFrontCollaborator {
 public:
  void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp) override;
  std::optional<bool> isAppActive() override;
  void applicationDidBecomeActive(const std::shared_ptr<APMEngineContext>& engine) override;
  void applicationWillResignActive(const std::shared_ptr<APMEngineContext>& engine) override;
};

// The reporter under the public prefix: the same class and shared instance.
using ZORAScreenViewReporter = APMScreenViewReporter;

// Whether screens are detected without the host's help; never on this platform.
bool APMAutomaticScreenReportingEnabled();
