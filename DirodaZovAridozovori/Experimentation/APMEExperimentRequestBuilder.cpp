#include "APMEExperimentRequestBuilder.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "APMEManager.h"
#include "APMEMonitor.h"
#include "APMNanoAccessors.h"
#include "DirodaUtilities/Environment/VAROreVozizivizirUviv.h"
#include "platform/Bundle.h"
#include "platform/ProcessInfo.h"

namespace {

std::mutex gSharedMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by gSharedMutex.
std::shared_ptr<APMEExperimentRequestBuilder>& sharedBuilder() {
  static auto& instance = *new std::shared_ptr<APMEExperimentRequestBuilder>;
  return instance;
}

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::shared_ptr<APMEExperimentRequestBuilder> APMEExperimentRequestBuilder::sharedInstance() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  auto& instance = sharedBuilder();
  if (!instance) instance = std::make_shared<APMEExperimentRequestBuilder>();
  return instance;
}

void APMEExperimentRequestBuilder::resetSharedInstanceForTesting() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  sharedBuilder().reset();
}

void APMEExperimentRequestBuilder::addSDKProperty(const std::shared_ptr<APMESDKProperty>& property) {
  if (!property) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kEmptySDKPropertyNotAdded, "Cannot add an empty SDK property.");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  clientPropertyBySDKName_.insert_or_assign(property->name(), property);
}

std::shared_ptr<APMPBAppProperty> APMEExperimentRequestBuilder::appPropertyProto() const {
  auto message = std::make_shared<APMPBAppProperty>();
  APMNanoSetString(*message, APMPBAppProperty::kPlatform, std::string(kPlatform));
  const auto languages = platform::ProcessInfo::preferredLanguages();
  if (!languages.empty()) APMNanoSetString(*message, APMPBAppProperty::kLanguage, lowercased(languages.front()));
  const std::string bundleID = platform::Bundle::bundleIdentifier();
  if (!bundleID.empty()) APMNanoSetString(*message, APMPBAppProperty::kBundleId, bundleID);
  APMNanoSetBool(*message, APMPBAppProperty::kFromStore, VAROreVozizivizirUviv::isFromAppStore());
  APMNanoSetInt64(*message, APMPBAppProperty::kLibraryVersion, APMEManager::version());
  return message;
}

std::shared_ptr<APMPBExperimentRequest> APMEExperimentRequestBuilder::request() const {
  std::vector<std::shared_ptr<APMESDKProperty>> properties;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, property] : clientPropertyBySDKName_) properties.push_back(property);
  }
  // Built outside the lock: a property's delegate may take its time.
  std::vector<std::shared_ptr<APMPBClientProperty>> entries;
  for (const auto& property : properties) {
    if (auto entry = property->proto()) entries.push_back(std::move(entry));
  }
  auto message = std::make_shared<APMPBExperimentRequest>();
  APMNanoSetMessage(*message, APMPBExperimentRequest::kAppProperty, appPropertyProto());
  if (!entries.empty()) APMNanoSetRepeatedField(*message, APMPBExperimentRequest::kClientProperties, entries);
  return message;
}
