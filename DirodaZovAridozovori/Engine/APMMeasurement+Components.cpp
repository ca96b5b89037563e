// The engine's side of its components: the context it hands them. The context holds the engine
// weakly, so a component kept alive by a block still queued finds no engine instead of a freed one.
#include "APMMeasurement.h"

#include "APMEngineContext.h"

class APMMeasurement::ComponentContext final : public APMEngineContext {
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
    return engine ? engine->database_ : nullptr;
  }

  std::shared_ptr<APMRemoteConfig> remoteConfig() const override {
    auto engine = engine_.lock();
    return engine ? engine->remoteConfig_ : nullptr;
  }

  void logInternalEvent(const std::string& origin, const std::string& name,
                        const platform::Dictionary& parameters) override {
    if (auto engine = engine_.lock()) engine->logInternalEvent(origin, name, parameters);
  }

  void schedule(const char* blockID, std::function<void()> block) override {
    if (auto engine = engine_.lock()) engine->submit(blockID, std::move(block));
  }

  void setConsent(const platform::Dictionary& settings, const std::string& sourceKey) override {
    auto hooks = APMAnalyticsHooksSnapshot();
    if (hooks->setConsent) hooks->setConsent(settings, sourceKey);
  }

 private:
  const std::weak_ptr<APMMeasurement> engine_;
  const std::shared_ptr<platform::DispatchQueue> workerQueue_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
};

void APMMeasurement::attachComponents(APMEngineComponentList components) {
  componentContext_ = std::make_shared<ComponentContext>(weak_from_this(), scheduler_->workerQueue(), persistedConfig_);
  components_ = std::move(components);
  std::erase(components_, nullptr);
  for (const auto& component : components_) component->attachToEngine(componentContext_);
}
