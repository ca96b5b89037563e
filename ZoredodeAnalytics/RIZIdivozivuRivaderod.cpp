#include "RIZIdivozivuRivaderod.h"

#include <atomic>

#include "APMMeasurement.h"
#include "APMEngineRegistry.h"
#include "DUDUravodazoInternal.h"
#include "ROREzo.h"
#include "ZORConnectorUtils.h"
#include "platform/Clock.h"
#include "platform/Semaphore.h"

namespace {

// The "_cis" value of a "_cmp" event, by the origin that logs it.
const std::map<std::string, std::string>& campaignIntegrations() {
  static const auto& integrations = *new std::map<std::string, std::string>{{"fcm", "fcm_integration"},
                                                               {"fdl", "fdl_integration"},
                                                               {"fiam", "fiam_integration"},
                                                               {"frc", "frc_integration"}};
  return integrations;
}

// The conditional user properties of the shared engine, the one the front started (none before).
std::shared_ptr<ZORAConditionalUserPropertyController> conditionalUserPropertyController() {
  auto engine = APMEngineRegistry::hasSharedInstance() ? APMEngineRegistry::sharedInstance() : nullptr;
  return engine ? APMFindEngineComponent<ZORAConditionalUserPropertyController>(engine->components().list()) : nullptr;
}

std::optional<double> number(const platform::Object& value) {
  if (!value.isNumber()) return std::nullopt;
  return value.doubleValue();
}

// The answer maxUserProperties waits for. Shared with the callback, so an answer arriving after the
// wait gave up lands here and not in the caller's freed frame.
struct MaxUserPropertiesAnswer {
  platform::Semaphore done;
  std::atomic<int64_t> value{0};
};

}  // namespace

// MARK: - Registration

void RIZIdivozivuRivaderod::load() {
  ROREzo::registerInternalLibrary(&RIZIdivozivuRivaderod::componentsToRegister, kLibraryName, kLibraryVersion);
}

std::vector<std::shared_ptr<VODEzudaruvu>> RIZIdivozivuRivaderod::componentsToRegister() {
  return {VODEzudaruvu::componentWithProtocol(
      kDUDUravodazoInteropProtocol, VODEzudaruvuInstantiationTiming::Lazy,
      [](VODEzudaruvuContainer&, bool*) {
        return std::any(std::shared_ptr<DUDUravodazoInterop>(std::make_shared<RIZIdivozivuRivaderod>()));
      })};
}

const std::shared_ptr<platform::DispatchQueue>& RIZIdivozivuRivaderod::queue() {
  static const auto* connectorQueue = new std::shared_ptr<platform::DispatchQueue>(
      platform::DispatchQueue::create(kQueueLabel));
  return *connectorQueue;
}

RIZIdivozivuRivaderod::~RIZIdivozivuRivaderod() {
  // The front would otherwise keep calling a block that can no longer reach anyone.
  if (logEventListener_ != 0) DUDUravodazoInternal::removeLogEventListener(logEventListener_);
}

// MARK: - Helpers

std::shared_ptr<ZORAEvent> RIZIdivozivuRivaderod::eventFromDictionary(const platform::Dictionary& dictionary) {
  auto text = [&](const char* key) {
    const platform::Object* value = platform::find(dictionary, key);
    return value && value->isString() ? value->stringValue() : std::string();
  };
  const platform::Object* timestamp = platform::find(dictionary, "timestamp");
  const platform::Object* parameters = platform::find(dictionary, "parameters");
  const double time = timestamp && timestamp->isNumber() ? timestamp->doubleValue() : platform::now();
  const platform::Dictionary* given = parameters ? parameters->asDictionary() : nullptr;
  return ZORAEvent::create(text("origin"), false, text("name"), time, 0, given ? *given : platform::Dictionary{});
}

std::shared_ptr<ZORAEvent> RIZIdivozivuRivaderod::eventWithOrigin(const std::string& origin,
                                                                  const std::string& eventName,
                                                                  const platform::Dictionary& params) {
  return ZORAEvent::create(origin, false, eventName, platform::now(), 0, params);
}

platform::Dictionary RIZIdivozivuRivaderod::simplifiedParametersFromEventParameters(const APMParameters& parameters) {
  platform::Dictionary simplified;
  for (const auto& [name, value] : parameters) {
    if (value.isArray()) continue;
    simplified[name] = value.object();
  }
  return simplified;
}

std::shared_ptr<ZORAConditionalUserProperty> RIZIdivozivuRivaderod::conditionalUserPropertyFromDictionary(
    const platform::Dictionary& dictionary) {
  auto property = std::make_shared<ZORAConditionalUserProperty>();
  for (const auto& [key, value] : dictionary) {
    if (key == "value") {
      if (value.isString()) {
        property->value = ZORAValue(value.stringValue());
      } else if (!value.isNull()) {
        return nullptr;
      }
    } else if (key == "name" || key == "origin" || key == "triggerEventName") {
      if (!value.isString()) continue;
      std::string& field = key == "name" ? property->name : key == "origin" ? property->origin : property->triggerEventName;
      field = value.stringValue();
    } else if (key == "triggerTimeout" || key == "timeToLive" || key == "creationTimestamp" ||
               key == "triggeredTimestamp") {
      auto seconds = number(value);
      if (!seconds) continue;
      double& field = key == "triggerTimeout"      ? property->triggerTimeout
                      : key == "timeToLive"        ? property->timeToLive
                      : key == "creationTimestamp" ? property->creationTimestamp
                                                   : property->triggeredTimestamp;
      field = *seconds;
    } else if (key == "active") {
      if (value.isNumber()) property->active = value.boolValue();
    } else if (key == "triggeredEvent" || key == "timedOutEvent" || key == "expiredEvent") {
      const platform::Dictionary* event = value.asDictionary();
      if (!event) continue;
      auto& field = key == "triggeredEvent" ? property->triggeredEvent
                    : key == "timedOutEvent" ? property->timedOutEvent
                                             : property->expiredEvent;
      field = eventFromDictionary(*event);
    }
  }
  return property;
}

// MARK: - Conditional user properties

void RIZIdivozivuRivaderod::setConditionalUserProperty(const platform::Dictionary& property) {
  if (property.empty()) return;
  auto filled = conditionalUserPropertyFromDictionary(property);
  if (!filled) return;
  if (auto controller = conditionalUserPropertyController()) controller->setConditionalUserProperty(filled, filled->name);
}

void RIZIdivozivuRivaderod::clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                                         const std::string& clearEventName,
                                                         const platform::Dictionary& clearEventParameters) {
  std::shared_ptr<ZORAEvent> clearEvent;
  if (!clearEventName.empty() && !clearEventParameters.empty()) {
    clearEvent = eventWithOrigin(origin, clearEventName, clearEventParameters);
  }
  if (auto controller = conditionalUserPropertyController()) {
    controller->clearConditionalUserPropertyWithClearEvent(clearEvent, userPropertyName);
  }
}

std::vector<platform::Dictionary> RIZIdivozivuRivaderod::conditionalUserProperties(
    const std::string& origin, const std::string& propertyNamePrefix) {
  std::vector<platform::Dictionary> result;
  auto controller = conditionalUserPropertyController();
  auto properties = controller ? controller->conditionalUserPropertiesWithNamePrefix(propertyNamePrefix, origin)
                               : std::nullopt;
  if (!properties) return result;
  for (const auto& property : *properties) {
    if (!property || property->name.empty() || !property->value || !property->value->isString()) continue;
    result.push_back({{"name", platform::Object(property->name)},
                      {"value", platform::Object(property->value->stringValue())}});
  }
  return result;
}

// MARK: - User properties and events

int64_t RIZIdivozivuRivaderod::maxUserProperties(const std::string& origin) {
  if (origin.empty() || queue()->isCurrent()) return 0;
  auto answer = std::make_shared<MaxUserPropertiesAnswer>();
  DUDUravodazoInternal::sharedInstance().maxUserPropertiesForOrigin(origin, queue(), [answer](int64_t value) {
    answer->value = value;
    answer->done.signal();
  });
  if (!answer->done.wait(kMaxUserPropertiesTimeout)) return 0;
  return answer->value.load();
}

void RIZIdivozivuRivaderod::getUserPropertiesWithCallback(std::function<void(const platform::Dictionary&)> callback) {
  if (!callback) return;
  DUDUravodazoInternal::userPropertiesIncludingInternal(true, queue(), [callback](const platform::Dictionary& properties) {
    platform::Dictionary allowed;
    for (const auto& [name, value] : properties) {
      if (ZORConnectorUtils::isUserPropertyAllowedForQuery(name)) allowed.emplace(name, value);
    }
    callback(allowed);
  });
}

void RIZIdivozivuRivaderod::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const platform::Dictionary& parameters) {
  if (!ZORConnectorUtils::isOriginAllowed(origin) || !ZORConnectorUtils::shouldLogEventWithName(name, parameters)) {
    return;
  }
  platform::Dictionary logged = parameters;
  if (name == "_cmp") {
    auto integration = campaignIntegrations().find(origin);
    if (integration != campaignIntegrations().end()) logged["_cis"] = platform::Object(integration->second);
  }
  if (name == "_ae" && origin == "clx") logged["_r"] = platform::Object(static_cast<int64_t>(1));
  DUDUravodazoInternal::logInternalEventWithOrigin(origin, name, logged);
}

void RIZIdivozivuRivaderod::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const platform::Object& value) {
  if (!ZORConnectorUtils::isOriginAllowed(origin) || !ZORConnectorUtils::isUserPropertyAllowed(name, origin)) return;
  DUDUravodazoInternal::sharedInstance().setInternalUserProperty(value, name, origin);
}

// MARK: - Listeners

APMAnalyticsListeners::ListenerToken RIZIdivozivuRivaderod::logEventListener() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return logEventListener_;
}

RIZIdivozivuRivaderod::Listeners RIZIdivozivuRivaderod::listenersSnapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listeners_ ? *listeners_ : Listeners{};
}

void RIZIdivozivuRivaderod::registerAnalyticsListener(std::shared_ptr<DUDUravodazoInteropListener> listener,
                                                      const std::string& origin) {
  if (!listener || !ZORConnectorUtils::isListenerOriginAllowed(origin)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!listeners_) listeners_ = std::make_unique<Listeners>();
  (*listeners_)[origin] = std::move(listener);
  if (logEventListener_ != 0) return;
  std::weak_ptr<RIZIdivozivuRivaderod> weakSelf = weak_from_this();
  logEventListener_ = DUDUravodazoInternal::addLogEventListener([weakSelf](const std::shared_ptr<APMEvent>& event) {
    if (auto self = weakSelf.lock()) self->deliverEvent(event);
  });
}

void RIZIdivozivuRivaderod::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  APMAnalyticsListeners::ListenerToken removed = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!listeners_) return;
    listeners_->erase(origin);
    if (!listeners_->empty()) return;
    listeners_.reset();
    removed = logEventListener_;
    logEventListener_ = 0;
  }
  if (removed != 0) DUDUravodazoInternal::removeLogEventListener(removed);
}

void RIZIdivozivuRivaderod::deliverEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event || !ZORConnectorUtils::isEventNameAllowedForListeners(event->name())) return;
  std::shared_ptr<DUDUravodazoInteropListener> target;
  bool broadcast = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!listeners_) return;
    if (auto found = listeners_->find(event->origin()); found != listeners_->end()) {
      target = found->second;
    } else if (ZORConnectorUtils::isAppOrigin(event->origin())) {
      broadcast = true;
    } else if (ZORConnectorUtils::isEventName(event->name(), "clx")) {
      if (auto clx = listeners_->find("clx"); clx != listeners_->end()) target = clx->second;
    }
  }
  if (!target && !broadcast) return;
  auto copy = event->copy();
  std::weak_ptr<RIZIdivozivuRivaderod> weakSelf = weak_from_this();
  queue()->async([copy, target, weakSelf] {
    platform::Dictionary parameters = simplifiedParametersFromEventParameters(copy->parameters());
    platform::DispatchQueue::main()->async([copy, target, weakSelf, parameters] {
      if (target) {
        target->messageTriggered(copy->name(), parameters);
        return;
      }
      auto self = weakSelf.lock();
      if (!self || !ZORConnectorUtils::isAppOrigin(copy->origin())) return;
      // Read again: listeners may have come or gone since the event was logged.
      for (const auto& entry : self->listenersSnapshot()) entry.second->messageTriggered(copy->name(), parameters);
    });
  });
}
