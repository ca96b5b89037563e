#pragma once
// An engine context without an engine, for testing a component alone: the test sets what the
// component may read, and the context records what the component asks of the engine.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "APMDatabase.h"
#include "APMEngineContext.h"
#include "APMEvent.h"
#include "APMUserAttribute.h"
#include "platform/DispatchQueue.h"

namespace enginetest {

class FakeEngineContext final : public APMEngineContext {
 public:
  struct LoggedEvent {
    std::string origin, name;
    platform::Dictionary parameters;
  };

  std::shared_ptr<platform::DispatchQueue> workerQueue() const override { return queue; }
  std::shared_ptr<APMPersistedConfig> persistedConfig() const override { return persisted; }
  std::shared_ptr<APMDatabase> database() const override { return db; }
  std::shared_ptr<APMRemoteConfig> remoteConfig() const override { return config; }
  std::shared_ptr<APMIdentity> identity() const override { return nullptr; }
  std::shared_ptr<APMSessionReporter> sessionReporter() const override { return session; }
  double initTimestamp() const override { return 0; }
  bool isEnabled() const override { return enabled; }
  bool checkWorkerQueue(const char*) const override { return queue->isCurrent(); }
  std::shared_ptr<VIZUzedaru> network() const override { return nullptr; }
  bool isNetworkReadyForRequest() override { return !requestPending; }
  void setIsNetworkRequestPending(bool pending) override { requestPending = pending; }
  bool shouldUseBackgroundSession() override { return false; }
  void updateSchedule() override { ++scheduleUpdates; }
  bool setUserProperty(const APMUserAttribute& attribute) override {
    std::lock_guard<std::mutex> lock(mutex_);
    properties.push_back(attribute);
    return true;
  }
  void removeUserProperty(const APMUserAttribute& attribute) override {
    std::lock_guard<std::mutex> lock(mutex_);
    removedProperties.push_back(attribute);
  }
  void writeEvent(const std::shared_ptr<APMEvent>& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    written.push_back(event);
  }
  void handleInternalEvent(const std::shared_ptr<APMEvent>& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    handled.push_back(event);
  }

  void logInternalEvent(const std::string& origin, const std::string& name,
                        const platform::Dictionary& parameters) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back({origin, name, parameters});
  }
  void schedule(const char*, std::function<void()> block) override { queue->async(std::move(block)); }
  void setConsent(const platform::Dictionary& settings, const std::string& sourceKey) override {
    std::lock_guard<std::mutex> lock(mutex_);
    consents.emplace_back(settings, sourceKey);
  }
  bool isAppActive() const override { return active; }
  platform::Dictionary screenParameters() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_;
  }
  void setScreen(platform::Dictionary parameters) {
    std::lock_guard<std::mutex> lock(mutex_);
    screen_ = std::move(parameters);
  }

  // Opens a measurement database of the fake's own on its queue, in the current data directory.
  bool openDatabase() {
    platform::Error error;
    db = APMDatabase::create(APMDatabase::kDatabaseName, nullptr, queue, &error);
    return db != nullptr;
  }

  // What the component asked for; read them once the component is done (after its queue).
  std::vector<LoggedEvent> events;
  std::vector<std::pair<platform::Dictionary, std::string>> consents;
  std::vector<APMUserAttribute> properties;
  std::vector<APMUserAttribute> removedProperties;
  std::vector<std::shared_ptr<APMEvent>> written;
  std::vector<std::shared_ptr<APMEvent>> handled;
  std::atomic<bool> enabled{true};
  std::atomic<int> scheduleUpdates{0};
  std::atomic<bool> requestPending{false};
  std::atomic<bool> active{true};

  std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::create("com.example.fake-worker");
  std::shared_ptr<APMPersistedConfig> persisted;
  std::shared_ptr<APMDatabase> db;
  std::shared_ptr<APMRemoteConfig> config;
  std::shared_ptr<APMSessionReporter> session;

 private:
  mutable std::mutex mutex_;
  platform::Dictionary screen_;
};

}  // namespace enginetest
