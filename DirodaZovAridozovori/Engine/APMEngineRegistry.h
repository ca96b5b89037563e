#pragma once
// The engine's process-wide state: the shared engine the front starts (made once per process, or
// once per reset in tests), the launch the application posts before any engine exists, and the
// server-side tagging preview headers. Each piece has a mutex of its own; the launch's is taken
// after the shared engine's, never before it.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMEngineSetup.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"

class APMMeasurement;
class APMMonitor;
class APMRemoteConfig;

class APMEngineRegistry {
 public:
  APMEngineRegistry() = delete;

  // ---- The shared engine.
  static void initializeSharedInstanceWithAppID(const std::string& appID, const APMEngineOptions& options);
  static bool hasSharedInstance();
  static std::shared_ptr<APMMeasurement> sharedInstance();
  static std::shared_ptr<APMMonitor> monitor();
  // The shared engine's configuration as other queues see it, else the defaults.
  static std::shared_ptr<APMRemoteConfig> remoteConfig();
  // Tests: waits for the shared engine's worker queue and forgets it (the created flag too), the
  // launches kept and the preview headers.
  static void resetSharedInstanceForTesting();

  // ---- Server-side tagging preview headers for uploads and the configuration: none, or the
  // preview key's header. Set from the launch and opened-URL paths, read on the worker queue.
  static std::optional<platform::Dictionary> SSTGPreviewHeaders();
  static void setSSTGPreviewHeaders(std::optional<platform::Dictionary> headers);

  // ---- Launch (observed from library load, before any engine exists).
  // (Re)subscribes to the did-finish-launching notification on the default center.
  static void subscribeForAppDidFinishLaunchingNotifications();
  // Hands the launch to the shared engine's components now when it exists, else keeps it for the
  // next engine made.
  static void handleAppDidFinishLaunching(const platform::Notification& notification);
  // Hands the launches posted before any engine took them to engine's components, in order; with
  // receiveLaterLaunches the launches posted from now on come to engine too.
  static void takeLaunches(APMMeasurement& engine, bool receiveLaterLaunches);
};
