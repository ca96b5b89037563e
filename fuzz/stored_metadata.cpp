// A group's stored metadata as the database file gives it back, which may be torn or tampered
// with: the bytes of the metadata row that three raw events point to, made into their bundle by
// bundling (in place when they are the encoder's own bytes, decoded and encoded once otherwise).
// The queued bundle decodes and holds the group's three events, none of any the metadata held; and
// metadata that decodes hands its app, platform and versions to the bundle unchanged.
#include <memory>
#include <string>

#include "APMDatabase.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "FuzzSupport.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Upload/APMRawEventBundler.h"
#include "platform/DispatchQueue.h"

namespace {

using Bundle = APMPBMeasurementBundle;

constexpr const char* kAppID = "1:1234567890:ios:abcdef";
constexpr double kNow = 1700000000.0;
constexpr const char* kEventName = "level_up";

using Engine = fuzzsupport::Store;

Engine& engine() {
  static Engine* shared = new Engine(fuzzsupport::openStore("fuzz.metadata.worker"));
  return *shared;
}

// A fresh store holding a configuration and three raw events of one group, whose metadata row then
// holds the stored bytes.
void storeGroup(APMDatabase& database, const platform::Data& stored) {
  const int64_t fingerprint = fuzzsupport::storeRawEventGroup(database, kEventName, kNow);
  platform::Error error;
  if (!database.connection().execute("UPDATE raw_events_metadata SET metadata = ? WHERE metadata_fingerprint = ?",
                                     {platform::Object(stored), platform::Object(fingerprint)}, &error)) {
    fuzzsupport::fail("cannot change the metadata: " + error.description);
  }
}

size_t eventsNamed(const Bundle& bundle, const std::string& name) {
  size_t count = 0;
  for (const auto& event : APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(bundle, Bundle::kEvents)
                               .value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
    if (APMNanoGetString(*event, APMPBEvent::kName).value_or("") == name) ++count;
  }
  return count;
}

void runOnWorker(Engine& e, const platform::Data& stored) {
  APMDatabase& database = *e.database;
  storeGroup(database, stored);
  auto config = APMRemoteConfig::create(kAppID, e.database, e.persisted);
  if (!config) fuzzsupport::fail("cannot create the configuration");
  APMRawEventBundler bundler(e.database, config, e.persisted, APMBundlingHooks{});
  if (bundler.bundleRawEvents() != APMRawEventBundler::Result::Bundled) fuzzsupport::fail("the group was not bundled");

  platform::Error error;
  auto queued = database.bundleQueue().queryBundleDataWithCountLimit(10, int64_t{1} << 40, &error);
  if (!queued || queued->size() != 1) fuzzsupport::fail("the group's bundle is not queued alone");
  auto bundle = Bundle::fromBuffer(queued->front().bundle);
  if (!bundle) fuzzsupport::fail("the queued bundle does not decode");

  const size_t events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, Bundle::kEvents)
                            .value_or(std::vector<std::shared_ptr<APMPBEvent>>{})
                            .size();
  if (events != 3 || eventsNamed(*bundle, kEventName) != 3) {
    fuzzsupport::fail("the bundle holds " + std::to_string(events) + " events, not the group's three");
  }
  const auto metadata = Bundle::fromBuffer(stored);
  if (!metadata) return;
  for (int field : {Bundle::kAppId, Bundle::kPlatform, Bundle::kAppVersion, Bundle::kOsVersion, Bundle::kDeviceModel}) {
    if (APMNanoGetString(*bundle, field) != APMNanoGetString(*metadata, field)) {
      fuzzsupport::fail("the bundle does not carry the metadata's field " + std::to_string(field));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Engine& e = engine();
  const platform::Data stored = fuzzsupport::bytesOf(data, size);
  fuzzsupport::onWorkerOffMainThread(e.worker, [&] { runOnWorker(e, stored); });
  return 0;
}
