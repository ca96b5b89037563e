#pragma once
// A part of the SDK that joins the engine's work at the engine's own moments. Every moment has an
// empty default, so a component overrides only the moments it acts at. The engine calls its
// components in the order APMEngineComponents.cpp lists them; it never names one.
//
// Threads: attachToEngine runs on the thread making the engine, before any other moment; the
// launch runs on the thread that posted it (see applicationDidFinishLaunching); every other moment
// runs on the engine's worker queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "APMEngineContext.h"
#include "APMEvent.h"
#include "platform/ApplicationNotifications.h"

class APMDatabase;
class APMPBAudience;
class APMPBMeasurementBundle;
class APMRemoteConfig;
class APMRemoteConfigEventEditing;
class APMRemoteConfigExperimentClient;
struct APMBundlingHooks;

// What the event-editing program did with one event.
struct APMEventEditingOutcome {
  bool failed = false;                               // the program reported an error
  std::optional<APMEditEventForm> outputEvent;       // set when the program edited the event
  std::vector<APMEditEventForm> eventsToLog;         // events the program created, in order
};

// The events a component's step on an event asks the engine to write with it, in order.
struct APMEventCompanions {
  std::vector<std::shared_ptr<APMEvent>> before;  // written before the event
  std::vector<std::shared_ptr<APMEvent>> after;   // written after it
};

// The moments of every event that a component may act at (see the class below), as bits.
enum class APMEngineEventMoment : uint8_t {
  kEditEvent = 1 << 0,
  kEventWillBeWritten = 1 << 1,
  kEventWillBeStored = 1 << 2,
};

class APMEngineComponent {
 public:
  virtual ~APMEngineComponent() = default;

  // Whether the engine calls this component at that moment of every event: at each of them, unless
  // it was made through APMMakeEngineComponent, which names only the moments its class overrides.
  // (The road takes these moments for every event, and most components act at none of them.)
  bool actsAt(APMEngineEventMoment moment) const { return (eventMoments_ & static_cast<uint8_t>(moment)) != 0; }
  void setEventMoments(uint8_t moments) { eventMoments_ = moments; }

  // The engine this component belongs to. The context never outlives the engine's use of it: a
  // component may keep it for as long as it lives.
  virtual void attachToEngine(const std::shared_ptr<APMEngineContext>& context) { (void)context; }

  // ---- Launch: the application finished launching, with what launched it (empty options when
  // nothing did). On the thread that posted the launch; a launch posted before the engine existed
  // is handed on as the engine is made, on that thread, before the engine starts.
  virtual void applicationDidFinishLaunching(const platform::LaunchOptions& launchOptions) { (void)launchOptions; }

  // ---- Start-up (once per engine, at its first successful start).
  // Before the configuration is made: an experiment client for it to register with; the first
  // component that gives one is used. servedConfig answers the engine's configuration from any
  // queue (nullptr once the engine is gone).
  virtual std::shared_ptr<APMRemoteConfigExperimentClient> experimentClientForRemoteConfig(
      const std::function<std::shared_ptr<APMRemoteConfig>()>& servedConfig) {
    (void)servedConfig;
    return nullptr;
  }
  // The database is open and the configuration made: false refuses the start.
  virtual bool startUpDidOpenDatabase(const std::shared_ptr<APMDatabase>& database) {
    (void)database;
    return true;
  }
  // The configuration's consent is applied and stale data deleted: upkeep of what a component
  // stored in earlier runs.
  virtual void startUpDidLoadConfiguration() {}
  // The first-open report of the start-up is done (written, or found written before); the
  // update reports follow.
  virtual void startUpDidReportFirstOpen() {}
  // The last step: the start-up reports are queued and the engine is about to take events.
  virtual void startUpDidFinish() {}

  // ---- Each event on the road, inside its group.
  // Runs the configuration's event-editing program on the event; the first component that answers
  // decides (no answer: the event is written as logged).
  virtual std::optional<APMEventEditingOutcome> editEvent(APMRemoteConfigEventEditing& program,
                                                          const APMEditEventForm& event) {
    (void)program;
    (void)event;
    return std::nullopt;
  }

  // ---- Each event the engine writes (its internal ones too), inside its group, before it is
  // written: the events to write with it are added to companions (which holds the earlier
  // components' "after" events). False when the component's step failed (and rolled back what it
  // changed): what it added is dropped, and the event is still written. Most components take no
  // step here, so nothing is made or returned for them.
  virtual bool eventWillBeWritten(const APMEvent& event, APMEventCompanions& companions) {
    (void)event;
    (void)companions;
    return true;
  }

  // ---- Each event the road stores, in the event's own scope inside its group, before its row:
  // what the event changes in the database besides its row (undone with the event should it roll
  // back). False refuses the event: it is rolled back.
  virtual bool eventWillBeStored(APMDatabase& database, const APMEvent& event) {
    (void)database;
    (void)event;
    return true;
  }

  // ---- A first open is being reported where the store delivers a receipt: whether the running
  // version is the one originally installed; the first component that answers decides (no
  // answer: it is).
  virtual std::optional<bool> isVersionSameAsOriginalVersion() { return std::nullopt; }

  // ---- A first open was reported (at a first start or after a reset), at firstOpenMillis.
  virtual void firstOpenWasReported(int64_t firstOpenMillis) { (void)firstOpenMillis; }

  // ---- The metadata every raw event of a group is stored with.
  // Fills the identifier and consent fields in place of the engine's own; the first component
  // that does (answers true) decides.
  virtual bool fillIdentifierAndConsentFields(APMPBMeasurementBundle& metadata) {
    (void)metadata;
    return false;
  }
  // Adds this component's own fields (a component ORs its bits into the linked-client flags).
  virtual void addMetadataFields(APMPBMeasurementBundle& metadata) { (void)metadata; }

  // ---- User data handed in through the public API.
  virtual void setUserData(const platform::Dictionary& userData) { (void)userData; }

  // ---- Wipe: the stored data is about to be deleted.
  virtual void willWipeData() {}

  // ---- Collection switch: collection was switched on after a start, or switched off.
  virtual void collectionDidSwitch(bool enabled) { (void)enabled; }

  // ---- Configuration fetch, after one that renewed or kept the configuration: first
  // configurationFetchDidSucceed, then the upload attempt that follows the fetch, then
  // configurationFetchDidEnd. True from configurationFetchDidSucceed: the component's own request
  // takes the place of that upload attempt (the upload timer is armed instead).
  virtual bool configurationFetchDidSucceed() { return false; }
  virtual void configurationFetchDidEnd() {}

  // A fetched configuration's audiences, in the transaction that stores the configuration: false
  // rolls the configuration back.
  virtual bool storeAudiences(APMDatabase& database, APMRemoteConfig& remoteConfig,
                              const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
    (void)database;
    (void)remoteConfig;
    (void)audiences;
    return true;
  }

  // ---- Bundling: the upload road is being built over the database; hooks of the bundler.
  virtual void addBundlingHooks(const std::shared_ptr<APMDatabase>& database, APMBundlingHooks& hooks) {
    (void)database;
    (void)hooks;
  }

  // ---- Upload: an upload attempt is about to read its batch.
  virtual void uploadWillStart() {}
  // The upload road found nothing to send under a fresh configuration: the network is free for a
  // component's own request.
  virtual void uploadRoadDidFindNothingToSend() {}

 private:
  uint8_t eventMoments_ = 0xFF;
};

using APMEngineComponentList = std::vector<std::shared_ptr<APMEngineComponent>>;

// The per-event moments that Component (or a class between it and APMEngineComponent) overrides:
// a class that declares none of them takes the engine's own member, whose type names the engine.
template <typename Component>
constexpr uint8_t APMEngineEventMomentsOverriddenBy() {
  uint8_t moments = 0;
  if constexpr (!std::is_same_v<decltype(&Component::editEvent), decltype(&APMEngineComponent::editEvent)>) {
    moments |= static_cast<uint8_t>(APMEngineEventMoment::kEditEvent);
  }
  if constexpr (!std::is_same_v<decltype(&Component::eventWillBeWritten),
                                decltype(&APMEngineComponent::eventWillBeWritten)>) {
    moments |= static_cast<uint8_t>(APMEngineEventMoment::kEventWillBeWritten);
  }
  if constexpr (!std::is_same_v<decltype(&Component::eventWillBeStored),
                                decltype(&APMEngineComponent::eventWillBeStored)>) {
    moments |= static_cast<uint8_t>(APMEngineEventMoment::kEventWillBeStored);
  }
  return moments;
}

// A component that the engine calls at the per-event moments its class overrides, and no others.
template <typename Component>
std::shared_ptr<Component> APMMakeEngineComponent(std::shared_ptr<Component> component) {
  if (component) component->setEventMoments(APMEngineEventMomentsOverriddenBy<Component>());
  return component;
}
template <typename Component>
std::shared_ptr<Component> APMMakeEngineComponent() {
  return APMMakeEngineComponent(std::make_shared<Component>());
}

// The first component of the given kind in an engine's list (nullptr when it has none): how the
// front and other components' callers reach the component of the engine they hold.
template <typename Component>
std::shared_ptr<Component> APMFindEngineComponent(const APMEngineComponentList& components) {
  for (const auto& component : components) {
    if (auto found = std::dynamic_pointer_cast<Component>(component)) return found;
  }
  return nullptr;
}
