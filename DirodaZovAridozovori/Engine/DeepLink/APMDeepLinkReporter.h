#pragma once
// Links that open the application, as campaign attribution: an opened URL or a browsing user
// activity logs the campaign event "_cmp" with the link's campaign parameters, keeps its ad-click
// identifiers for the next upload bundles and its "zbraid" as the "_zbraid" user property. A link
// that launched the application is stored until the engine has started and reported then (as
// "_cmpx" once it outlived the attribution window). At first launch the ad-services endpoint is
// asked once for a deferred deep link. A URL may also switch the server-side tagging debug mode.
//
// The reporter joins each engine as a listed component (APMDeepLinkComponent) and the front as one
// of its collaborators (APMDeepLinkCollaborator): the engine's moments run on that engine's worker queue, the
// front's on the front's serial queue; the launch and the debug switch run on the caller's thread.
//
// Threads: the deployment values and the host's deferred-link handler are guarded by one mutex;
// everything else is the engine's worker-queue state or process-wide state guarded where it lives.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "APMEngineComponent.h"
#include "Front/APMFrontCollaborator.h"
#include "platform/ApplicationNotifications.h"
#include "platform/Object.h"

class APMIdentity;

class APMDeepLinkReporter {
 public:
  // The host's taker of a deferred deep link: runs on the main queue with the link and its extra
  // information ({"timestamp": …} when the reply had one); true when it opened the link.
  using DeferredDeepLinkHandler = std::function<bool(const std::string& url, const platform::Dictionary& extraInfo)>;

  static constexpr const char* kOpenURLBlockID = "APMMeasurement:502";
  static constexpr const char* kPreviewHeaderName = "X-Stg-Server-Preview";
  static constexpr const char* kNotSet = "(not set)";

  // Deployment values: the ad-services endpoint's host ("host" or "host:port") and scheme ("https";
  // a local server may use "http"). The host program sets them before starting the SDK.
  static void setAdServicesHost(const std::string& host);
  static std::string adServicesHost();
  static void setAdServicesScheme(const std::string& scheme);
  static std::string adServicesScheme();
  static void setDeferredDeepLinkHandler(DeferredDeepLinkHandler handler);

  // ---- Class level.
  // The web page of a browsing activity; none otherwise (logged).
  static std::optional<std::string> deepLinkFromUserActivity(const std::string& activityType,
                                                             const std::string& webpageURL);
  // Keeps the link that launched the application for the engine's start-up.
  static void handleStoredURLAfterAppLaunchWithNotification(const platform::LaunchOptions& launchOptions);
  // "sstg_debug_enable" 1 or 0 switches the monitor's server-side tagging debug mode and the
  // process's preview headers; any other value changes nothing.
  static void handleSSTGDebugModeWithURL(const std::string& url);

  // ---- The engine's link entry points (any queue but the worker queue).
  static void handleNonFirstOpenEventURL(const std::shared_ptr<APMEngineContext>& engine, const std::string& url,
                                         double eventTimestampInSeconds);
  static void handleOpenURL(const std::shared_ptr<APMEngineContext>& engine, const std::string& url,
                            std::optional<int64_t> clickTimestampInMs, double eventTimestampInSeconds);
  static void handleDeepLink(const std::shared_ptr<APMEngineContext>& engine, const std::string& url,
                             std::optional<int64_t> clickTimestampInMs, double eventTimestampInSeconds);

  // ---- Worker queue.
  // The campaign handling of a link (url may be any text: one that is no URL has no query).
  static void handleOpenURLOnWorkerQueue(APMEngineContext& engine, const std::string& url,
                                         std::optional<int64_t> clickTimestampInMs, double eventTimestampInSeconds,
                                         const std::optional<platform::Dictionary>& extraParameters);
  // Reports the stored launching link, if any, and removes it.
  static void reportStoredCampaignEventOnWorkerQueue(APMEngineContext& engine, std::optional<int64_t> clickTimestampInMs);
  static bool shouldAllowClickID(APMIdentity& identity);
  static bool shouldAllowRequestDeferredDeepLink(APMEngineContext& engine);
  static void requestDeferredDeepLink(const std::shared_ptr<APMEngineContext>& engine);

  // ---- The deferred link's hand-over.
  // Hands the link to the host on the main queue.
  static void handleDeferredDeepLinkInfo(const platform::Dictionary& info);
  // Main queue: false when no handler took the link.
  static bool sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url, const platform::Dictionary& extraInfo);

  // Tests: the default deployment values and no handler.
  static void resetForTesting();
};

// The reporter as one of an engine's components: a launching link is stored at the launch; a
// stored launching link is reported as the
// engine starts (with the first open's click time when there is one); without one, the deferred
// deep link is asked for at once, or after the next successful configuration fetch when the
// configuration has expired (that request then takes the fetch's upload attempt). When collection
// is switched off, a stored link older than the attribution cache time is dropped.
// Worker queue only, but the launch (on the thread that hands it on).
class APMDeepLinkComponent : public APMEngineComponent {
 public:
  void attachToEngine(const std::shared_ptr<APMEngineContext>& engine) override { engine_ = engine; }
  void applicationDidFinishLaunching(const platform::LaunchOptions& launchOptions) override;
  void firstOpenWasReported(int64_t firstOpenMillis) override;
  void startUpDidReportFirstOpen() override;
  bool configurationFetchDidSucceed() override;
  void collectionDidSwitch(bool enabled) override;

  // Whether the deferred deep link waits for the next successful configuration fetch.
  bool requestsDeferredDeepLinkAfterFetch() const { return requestAfterFetch_; }

 protected:
  // What the moments do with the engine; tests replace them.
  virtual void reportStoredCampaignEvent(std::optional<int64_t> clickTimestampMillis);
  virtual bool shouldAllowRequestDeferredDeepLink();
  virtual void requestDeferredDeepLink();

  std::shared_ptr<APMEngineContext> engine_;

 private:
  bool requestAfterFetch_ = false;
};

// The reporter as one of the front's collaborators: the debug switch of an opened URL, the campaign
// of an opened link or browsing activity for the engine the front started, and the web page of a
// browsing activity.
class APMDeepLinkCollaborator final : public APMFrontCollaborator {
 public:
  void handleSSTGDebugModeWithURL(const std::string& url) override;
  void handleNonFirstOpenEventURL(const std::shared_ptr<APMEngineContext>& engine, const std::string& url,
                                  double timestamp) override;
  std::optional<std::string> deepLinkFromUserActivity(const std::string& activityType,
                                                      const std::string& webpageURL) override;
};
