// The context an engine hands its components. It holds the engine weakly, so a component kept alive
// by a block still queued finds no engine instead of a freed one.
#include "APMEngineComponentSet.h"

#include "APMMeasurement.h"
#include "APMEngineUserProperties.h"

#include "APMEngineContext.h"
#include "APMEngineEventRoad.h"
#include "APMEngineSessions.h"
#include "APMStartUp.h"
#include "Fetch/APMEngineFetch.h"
#include "Upload/APMEngineUploadRoad.h"
#include "Upload/APMUploadController.h"

namespace {

class ComponentContext final : public APMEngineContext {
 public:
  ComponentContext(std::weak_ptr<APMMeasurement> engine, std::shared_ptr<platform::DispatchQueue> workerQueue,
                   std::shared_ptr<APMPersistedConfig> persistedConfig)
      : engine_(std::move(engine)),
        workerQueue_(std::move(workerQueue)),
        persistedConfig_(std::move(persistedConfig)) {}

  std::shared_ptr<platform::DispatchQueue> workerQueue() const override { return workerQueue_; }
  std::shared_ptr<APMPersistedConfig> persistedConfig() const override { return persistedConfig_; }

  std::shared_ptr<APMDatabase> database() const override {
    auto engine = engine_.lock();
    return engine ? engine->database() : nullptr;
  }

  std::shared_ptr<APMRemoteConfig> remoteConfig() const override {
    auto engine = engine_.lock();
    return engine ? engine->remoteConfigInstance() : nullptr;
  }

  std::shared_ptr<APMIdentity> identity() const override {
    auto engine = engine_.lock();
    return engine ? engine->identity() : nullptr;
  }

  std::shared_ptr<APMSessionReporter> sessionReporter() const override {
    auto engine = engine_.lock();
    return engine && engine->startUp().didInitializeComponents() ? engine->sessions().currentSessionReporter() : nullptr;
  }

  bool isEnabled() const override {
    auto engine = engine_.lock();
    return engine && engine->collection().isEnabled();
  }

  double initTimestamp() const override {
    auto engine = engine_.lock();
    return engine ? engine->initTimestamp() : 0;
  }

  bool checkWorkerQueue(const char* methodName) const override {
    auto engine = engine_.lock();
    return engine && engine->checkWorkerQueue(methodName);
  }

  std::shared_ptr<VIZUzedaru> network() const override {
    auto engine = engine_.lock();
    return engine ? engine->setup().network : nullptr;
  }

  bool isNetworkReadyForRequest() override {
    auto engine = engine_.lock();
    return engine && engine->uploadRoad().isNetworkReadyForRequest();
  }

  void setIsNetworkRequestPending(bool pending) override {
    if (auto engine = engine_.lock()) engine->fetch().setIsNetworkRequestPending(pending);
  }

  bool shouldUseBackgroundSession() override {
    auto engine = engine_.lock();
    auto controller = engine ? engine->uploadRoad().uploadController() : nullptr;
    return controller && controller->shouldUseBackgroundSession();
  }

  void updateSchedule() override {
    if (auto engine = engine_.lock()) engine->uploadRoad().updateSchedule();
  }

  bool setUserProperty(const APMUserAttribute& attribute) override {
    auto engine = engine_.lock();
    return engine && engine->userProperties().setUserPropertyInDatabaseOnWorkerQueue(attribute);
  }

  void removeUserProperty(const APMUserAttribute& attribute) override {
    if (auto engine = engine_.lock()) engine->userProperties().removeUserAttributeOnWorkerQueue(attribute);
  }

  void writeEvent(const std::shared_ptr<APMEvent>& event) override {
    if (auto engine = engine_.lock()) engine->eventRoad().writeEventOnWorkerQueue(event);
  }

  void handleInternalEvent(const std::shared_ptr<APMEvent>& event) override {
    if (auto engine = engine_.lock()) engine->eventRoad().handleInternalEventOnWorkerQueue(event);
  }

  void logInternalEvent(const std::string& origin, const std::string& name,
                        const platform::Dictionary& parameters) override {
    if (auto engine = engine_.lock()) engine->eventRoad().logInternalEvent(origin, name, parameters);
  }

  void schedule(const char* blockID, std::function<void()> block) override {
    if (auto engine = engine_.lock()) engine->scheduleOnWorkerQueueBlockID(blockID, std::move(block));
  }

  void setConsent(const platform::Dictionary& settings, const std::string& sourceKey) override {
    auto hooks = APMAnalyticsHooksSnapshot();
    if (hooks->setConsent) hooks->setConsent(settings, sourceKey);
  }

  bool isAppActive() const override { return APMAnalyticsHooksIsAppActive(); }

  platform::Dictionary screenParameters() const override {
    auto hooks = APMAnalyticsHooksSnapshot();
    return hooks->screenParameters ? hooks->screenParameters() : platform::Dictionary{};
  }

 private:
  const std::weak_ptr<APMMeasurement> engine_;
  const std::shared_ptr<platform::DispatchQueue> workerQueue_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
};

}  // namespace

void APMEngineComponentSet::attach(const std::shared_ptr<APMMeasurement>& engine, APMEngineComponentList components) {
  const auto& setup = engine->setup();
  context_ = std::make_shared<ComponentContext>(engine, setup.scheduler->workerQueue(), setup.persistedConfig);
  components_ = std::move(components);
  std::erase(components_, nullptr);
  editing_.clear();
  seeingWritten_.clear();
  seeingStored_.clear();
  for (const auto& component : components_) {
    if (component->actsAt(APMEngineEventMoment::kEditEvent)) editing_.push_back(component);
    if (component->actsAt(APMEngineEventMoment::kEventWillBeWritten)) seeingWritten_.push_back(component);
    if (component->actsAt(APMEngineEventMoment::kEventWillBeStored)) seeingStored_.push_back(component);
  }
  for (const auto& component : components_) component->attachToEngine(context_);
}
