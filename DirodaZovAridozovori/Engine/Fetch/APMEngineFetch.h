#pragma once
// The engine's configuration fetch (a conditional GET applied in one database transaction) and its
// reactions to the application's state: a refresh on becoming active where the configuration asks
// for it, an upload attempt on resigning active, and the network client's log lines. Owned by the
// engine, which it reads through the engine's public face.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Object.h"
#include "platform/Error.h"

class APMMeasurement;

class APMEngineFetch {
 public:
  explicit APMEngineFetch(APMMeasurement& engine);
  ~APMEngineFetch();
  APMEngineFetch(const APMEngineFetch&) = delete;
  APMEngineFetch& operator=(const APMEngineFetch&) = delete;

  // Starts one conditional GET of the configuration (worker queue). Callers check that the network
  // is ready first.
  void fetchRemoteConfig();
  // The reply handler: applies a new configuration, renews the success time, or records the
  // failure for the retry and back-off schedule (worker queue). statusCode 0: no response.
  void networkRemoteConfigFetchCompletionHandler(int64_t statusCode,
                                                 const std::vector<std::pair<std::string, std::string>>& headerFields,
                                                 const platform::Data& data,
                                                 const std::optional<platform::Error>& error);
  // Observes the application becoming active and resigning active on the default notification
  // center (once), and makes the engine the network client's logger; removed with the engine.
  void subscribeForAppForegroundBackgroundNotifications();
  void handleAppDidBecomeActiveEvent();
  void handleAppWillResignActiveEvent();
  // Flushes the persisted configuration (terminateBackgroundTask); not observed on this platform.
  void handleAppWillEnterForegroundNotification();
  void terminateBackgroundTask();

  // Whether the network client has a request in flight (the configuration's, an upload's or a
  // component's): they go one at a time. Any thread.
  bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
  void setIsNetworkRequestPending(bool pending) { isNetworkRequestPending_ = pending; }

 private:
  struct LifecycleObservers;

  APMMeasurement& engine_;
  std::shared_ptr<LifecycleObservers> lifecycleObservers_;  // set once, on the worker queue
  std::atomic<bool> isNetworkRequestPending_{false};
};
