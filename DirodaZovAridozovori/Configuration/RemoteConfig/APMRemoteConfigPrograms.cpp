#include "APMRemoteConfigPrograms.h"

#include "APMRemoteConfigEngineHooks.h"
#include "APMRemoteConfigLog.h"
#include "MeasurementVersion.h"
#include "platform/Bundle.h"

namespace {

struct Loader {
  std::mutex mutex;
  APMRemoteConfigPrograms::EventEditingLoader loader;
};

Loader& programLoader() {
  // Never destroyed: a configuration may be parsed on the worker queue until the process has ended.
  static Loader* l = new Loader();
  return *l;
}

}  // namespace

void APMRemoteConfigPrograms::setEventEditingLoader(EventEditingLoader loader) {
  std::lock_guard<std::mutex> lock(programLoader().mutex);
  programLoader().loader = std::move(loader);
}

std::shared_ptr<APMRemoteConfigEventEditing> APMRemoteConfigPrograms::eventEditing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return eventEditing_;
}

platform::Dictionary APMRemoteConfigPrograms::appMetadataForPrograms() const {
  platform::Dictionary metadata{{"platform", "macos"},
                                {"package_name", platform::Bundle::bundleIdentifier()},
                                {"dmp_version", kMeasurementLibraryVersion}};
  auto engine = APMRemoteConfigEngineHooks::engineHooks();
  if (engine.appVersion) {
    if (auto version = engine.appVersion()) metadata["app_version"] = *version;
  }
  return metadata;
}

bool APMRemoteConfigPrograms::loadPrograms(const std::vector<std::shared_ptr<APMPBProgram>>& programs) {
  EventEditingLoader loader;
  {
    std::lock_guard<std::mutex> lock(programLoader().mutex);
    loader = programLoader().loader;
  }
  // Without a program host in this build, programs are carried but not run.
  if (programs.empty() || !loader) return true;
  platform::Error error;
  auto editing = loader(*programs.front(), config_, &error);
  std::lock_guard<std::mutex> lock(mutex_);
  eventEditing_ = editing;
  if (!editing) {
    APMLog(APMLogLevel::kErrorSampled, APMRemoteConfigLogCode::kEventEditingNotStarted,
           "Failed to initiate event editing instance", error);
    return false;
  }
  APMLog(APMLogLevel::kDebug, APMRemoteConfigLogCode::kLoadingPrograms,
         "Loading Event Modification and Creation programs", static_cast<int64_t>(programs.size()));
  return true;
}
