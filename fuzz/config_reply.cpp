// The configuration reply as the fetch applies it: decoded and stored in one transaction with its
// audiences (stored by the audience component) and its first event-editing program loaded
// (through the loader the event-editing component gives configurations). Whatever was applied is then used: the program edits an event,
// and the stored audiences evaluate an event and a user property.
#include <memory>

#include "APMAudienceComponent.h"
#include "APMDatabase.h"
#include "APMEventEditingHost.h"
#include "APMPersistedConfig.h"
#include "Audience/APMAudience.h"
#include "Fetch/APMRemoteConfigFetch.h"
#include "FuzzSupport.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/DispatchQueue.h"

namespace {

constexpr const char* kAppID = "1:1234567890:ios:abcdef";
constexpr double kNow = 1700000000.0;

struct Engine {
  std::shared_ptr<platform::DispatchQueue> worker = platform::DispatchQueue::create("fuzz.config.worker");
  std::shared_ptr<APMPersistedConfig> persisted;
  std::shared_ptr<APMDatabase> database;
  std::shared_ptr<APMRemoteConfig> remoteConfig;  // made afresh for every input
  APMAudienceComponent audiences;
};

Engine& engine() {
  static Engine* shared = [] {
    fuzzsupport::setUpProcess();
    APMRemoteConfigPrograms::setEventEditingLoader(&APMEventEditingHost::loadProgram);
    auto* made = new Engine;
    made->persisted = std::make_shared<APMPersistedConfig>(fuzzsupport::dataDirectory() + "/persisted.plist");
    made->database = fuzzsupport::openDatabase(made->persisted, made->worker);
    return made;
  }();
  return *shared;
}

void useWhatWasApplied(Engine& e) {
  if (auto editing = std::dynamic_pointer_cast<APMEventEditingHost>(e.remoteConfig->programs().eventEditing())) {
    editing->handleEvent(APMEditEventForm{"purchase", kNow, {{"value", platform::Object(9.99)},
                                                              {"currency", platform::Object("EUR")}}});
  }
  APMAudience audience(e.database, [&e] { return e.remoteConfig; });
  APMParameters parameters{{"level", APMValue(int64_t{3})}, {"item", APMValue(std::string("Gold hat"))}};
  if (auto event = APMEvent::create("app", true, "level_up", kNow, 0, parameters)) {
    audience.evaluateFiltersForEvent(*event, APMEventAggregates("level_up", 5, 1, 2, kNow - 60), nullptr);
  }
  audience.evaluateFiltersForUserProperty(APMUserAttribute("app", "tier", APMValue(std::string("gold")), kNow),
                                          nullptr, kNow);
}

// One input on the worker, as a first fetch applies it: from an empty store and a new configuration
// (whose program host would otherwise outlive it).
void applyOnWorker(Engine& e, const platform::Data& body) {
  platform::Error error;
  if (!e.database->reset(&error)) fuzzsupport::fail("cannot reset the database: " + error.description);
  e.remoteConfig = APMRemoteConfig::create(kAppID, e.database, e.persisted);
  if (!e.remoteConfig) fuzzsupport::fail("cannot create the configuration");
  APMRemoteConfigApplyContext context{*e.database, *e.remoteConfig, std::string(kAppID), [] {},
                                      [&e](APMDatabase& database, APMRemoteConfig& config,
                                           const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
                                        return e.audiences.storeAudiences(database, config, audiences);
                                      }};
  if (APMApplyRemoteConfig(body, context) == APMRemoteConfigApplyResult::kApplied) useWhatWasApplied(e);
  e.remoteConfig.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Engine& e = engine();
  const platform::Data body = fuzzsupport::bytesOf(data, size);
  fuzzsupport::onWorkerOffMainThread(e.worker, [&] { applyOnWorker(e, body); });
  return 0;
}
