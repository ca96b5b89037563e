#include "APMEngineRegistry.h"

#include <mutex>

#include "APMMeasurement.h"
#include "APMMonitor.h"
#include "DirodaUtilities/Logger/DULLogger.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/ApplicationNotifications.h"

namespace {

struct SharedState {
  std::mutex mutex;
  std::shared_ptr<APMMeasurement> engine;
  bool created = false;
};

SharedState& shared() {
  static SharedState* state = new SharedState();
  return *state;
}

// The launch as the process-wide observer saw it. Guarded by mutex; taken after the shared state's
// mutex, never before it.
struct LaunchState {
  std::mutex mutex;
  platform::NotificationCenter::Token observer = 0;
  // The shared engine once it is made: launches from then on reach its components at once.
  std::weak_ptr<APMMeasurement> engine;
  // The user info of launches posted before an engine took them, in order.
  std::vector<platform::Dictionary> pending;
};

LaunchState& launch() {
  static LaunchState* state = new LaunchState();
  return *state;
}

// Process-wide, like the launch URL it comes from.
struct PreviewHeaders {
  std::mutex mutex;
  std::optional<platform::Dictionary> headers;
};

PreviewHeaders& previewHeaders() {
  static PreviewHeaders* state = new PreviewHeaders();
  return *state;
}

// Hands a launch's user info to engine's components, in list order.
void deliverLaunch(const APMMeasurement& engine, const platform::Dictionary& userInfo) {
  const auto launchOptions = platform::LaunchOptions::fromUserInfo(userInfo);
  for (const auto& component : engine.components().list()) component->applicationDidFinishLaunching(launchOptions);
}

// The application may post its launch before it configures the SDK: observe it from library load.
const bool kSubscribedToLaunchAtLoad = [] {
  APMEngineRegistry::subscribeForAppDidFinishLaunchingNotifications();
  return true;
}();

}  // namespace

// MARK: - Shared engine

void APMEngineRegistry::initializeSharedInstanceWithAppID(const std::string& appID, const APMEngineOptions& options) {
  auto& state = shared();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.created) return;
  state.created = true;
  if (appID.empty()) return;
  APMMonitor::shared();
  state.engine = APMMeasurement::create(appID, options);
  if (state.engine) takeLaunches(*state.engine, true);
}

bool APMEngineRegistry::hasSharedInstance() {
  auto& state = shared();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.engine != nullptr && state.created;
}

std::shared_ptr<APMMeasurement> APMEngineRegistry::sharedInstance() {
  auto& state = shared();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.created && APMPublicAPIPresent()) {
    DULLoggerLogWarning(APMASLLogger::kService, APMMonitorConsole::kDefaultLogTag,
                        APMASLLogger::messageCodeText(APMLogCode(APMMeasurementLogCode::kEngineNotCreated).number()),
                        "Diroda Analytics for Zoredode has not been created. Please, configure Zoredode by calling "
                        "[ROREzo configure]");
  }
  return state.engine;
}

std::shared_ptr<APMMonitor> APMEngineRegistry::monitor() { return APMMonitor::shared(); }

std::shared_ptr<APMRemoteConfig> APMEngineRegistry::remoteConfig() {
  if (auto engine = sharedInstance()) {
    if (auto published = engine->objects().publishedRemoteConfig()) return published;
  }
  return APMRemoteConfig::defaultInstance();
}

void APMEngineRegistry::resetSharedInstanceForTesting() {
  std::shared_ptr<APMMeasurement> engine;
  {
    auto& state = shared();
    std::lock_guard<std::mutex> lock(state.mutex);
    engine = std::move(state.engine);
    state.engine = nullptr;
    state.created = false;
  }
  if (engine) engine->setup().scheduler->workerQueue()->sync([] {});
  {
    auto& state = launch();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.engine.reset();
    state.pending.clear();
  }
  setSSTGPreviewHeaders(std::nullopt);
}

// MARK: - Preview headers

std::optional<platform::Dictionary> APMEngineRegistry::SSTGPreviewHeaders() {
  auto& state = previewHeaders();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.headers;
}

void APMEngineRegistry::setSSTGPreviewHeaders(std::optional<platform::Dictionary> headers) {
  auto& state = previewHeaders();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.headers = std::move(headers);
}

// MARK: - Launch

void APMEngineRegistry::subscribeForAppDidFinishLaunchingNotifications() {
  auto& center = platform::NotificationCenter::defaultCenter();
  auto& state = launch();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.observer) center.removeObserver(state.observer);
  state.observer = center.addObserver(platform::kApplicationDidFinishLaunchingNotification, nullptr, nullptr,
                                      [](const platform::Notification& notification) {
                                        handleAppDidFinishLaunching(notification);
                                      });
}

void APMEngineRegistry::handleAppDidFinishLaunching(const platform::Notification& notification) {
  std::shared_ptr<APMMeasurement> engine;
  {
    auto& state = launch();
    std::lock_guard<std::mutex> lock(state.mutex);
    engine = state.engine.lock();
    if (!engine) {
      state.pending.push_back(notification.userInfo);
      return;
    }
  }
  deliverLaunch(*engine, notification.userInfo);
}

void APMEngineRegistry::takeLaunches(APMMeasurement& engine, bool receiveLaterLaunches) {
  std::vector<platform::Dictionary> pending;
  {
    auto& state = launch();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (receiveLaterLaunches) state.engine = engine.weak_from_this();
    pending = std::exchange(state.pending, {});
  }
  for (const auto& userInfo : pending) deliverLaunch(engine, userInfo);
}
