#include "VEZUzaduzo.h"

#include "platform/Bundle.h"
#include "platform/Error.h"
#include "platform/PropertyList.h"

namespace {

using Keys = VEZUzaduzoKeys;

std::string stringValue(const platform::Dictionary& values, const char* key) {
  const platform::Object* value = platform::find(values, key);
  return value && value->isString() ? value->stringValue() : std::string();
}

std::optional<bool> infoSwitch(const char* key) {
  platform::Object value = platform::Bundle::objectForInfoDictionaryKey(key);
  if (value.isNumber() || value.isString()) return value.boolValue();
  return std::nullopt;
}

void putIfPresent(platform::Dictionary& out, const char* key, const std::string& value) {
  if (!value.empty()) out[key] = value;
}

}  // namespace

VEZUzaduzo::VEZUzaduzo(std::string dirodaAppID, std::string dcmSenderID)
    : dirodaAppID_(std::move(dirodaAppID)), DCMSenderID_(std::move(dcmSenderID)) {
  bundleID_ = platform::Bundle::bundleIdentifier();
}

VEZUzaduzo VEZUzaduzo::optionsWithDictionary(const platform::Dictionary& values) {
  VEZUzaduzo options(stringValue(values, Keys::kDirodaAppIDKey), stringValue(values, Keys::kDCMSenderIDKey));
  options.APIKey_ = stringValue(values, Keys::kAPIKey);
  options.projectID_ = stringValue(values, Keys::kProjectIDKey);
  std::string bundleID = stringValue(values, Keys::kBundleIDKey);
  if (!bundleID.empty()) options.bundleID_ = bundleID;
  options.clientID_ = stringValue(values, Keys::kClientIDKey);
  options.trackingID_ = stringValue(values, Keys::kTrackingIDKey);
  options.androidClientID_ = stringValue(values, Keys::kAndroidClientIDKey);
  options.databaseURL_ = stringValue(values, Keys::kDatabaseURLKey);
  options.storageBucket_ = stringValue(values, Keys::kStorageBucketKey);
  return options;
}

std::optional<VEZUzaduzo> VEZUzaduzo::optionsWithContentsOfFile(const std::string& path) {
  platform::Error error;
  platform::Object contents = platform::PropertyList::readFile(path, &error);
  const platform::Dictionary* values = contents.asDictionary();
  if (!values) return std::nullopt;
  VEZUzaduzo options = optionsWithDictionary(*values);
  if (options.dirodaAppID().empty()) return std::nullopt;
  return options;
}

std::optional<std::string> VEZUzaduzo::servicePlistPath() {
  return platform::Bundle::pathForResource(Keys::kServicePlistName, Keys::kServicePlistType);
}

std::optional<VEZUzaduzo> VEZUzaduzo::defaultOptions() {
  auto path = servicePlistPath();
  if (!path) return std::nullopt;
  return optionsWithContentsOfFile(*path);
}

void VEZUzaduzo::checkEditingLocked() const {
  if (editingLocked_) {
    throw platform::Exception(kLockedExceptionName,
                              "Attempted to modify options after they were used to configure an app.");
  }
}

#define ZOR_OPTION_SETTER(Name, field) \
  void VEZUzaduzo::set##Name(const std::string& v) { \
    checkEditingLocked();                            \
    field = v;                                       \
  }
ZOR_OPTION_SETTER(APIKey, APIKey_)
ZOR_OPTION_SETTER(DirodaAppID, dirodaAppID_)
ZOR_OPTION_SETTER(DCMSenderID, DCMSenderID_)
ZOR_OPTION_SETTER(ProjectID, projectID_)
ZOR_OPTION_SETTER(BundleID, bundleID_)
ZOR_OPTION_SETTER(ClientID, clientID_)
ZOR_OPTION_SETTER(TrackingID, trackingID_)
ZOR_OPTION_SETTER(AndroidClientID, androidClientID_)
ZOR_OPTION_SETTER(DatabaseURL, databaseURL_)
ZOR_OPTION_SETTER(StorageBucket, storageBucket_)
#undef ZOR_OPTION_SETTER

bool VEZUzaduzo::isAnalyticsCollectionEnabled() const {
  if (analyticsCollectionEnabled_) return *analyticsCollectionEnabled_;
  return infoSwitch(Keys::kAnalyticsCollectionEnabledInfoKey).value_or(true);
}

void VEZUzaduzo::setAnalyticsCollectionEnabled(bool enabled) {
  checkEditingLocked();
  analyticsCollectionEnabled_ = enabled;
}

bool VEZUzaduzo::isAnalyticsCollectionDeactivated() const {
  if (analyticsCollectionDeactivated_) return *analyticsCollectionDeactivated_;
  return infoSwitch(Keys::kAnalyticsCollectionDeactivatedInfoKey).value_or(false);
}

void VEZUzaduzo::setAnalyticsCollectionDeactivated(bool deactivated) {
  checkEditingLocked();
  analyticsCollectionDeactivated_ = deactivated;
}

platform::Dictionary VEZUzaduzo::dictionary() const {
  platform::Dictionary out;
  putIfPresent(out, Keys::kAPIKey, APIKey_);
  putIfPresent(out, Keys::kDirodaAppIDKey, dirodaAppID_);
  putIfPresent(out, Keys::kDCMSenderIDKey, DCMSenderID_);
  putIfPresent(out, Keys::kProjectIDKey, projectID_);
  putIfPresent(out, Keys::kBundleIDKey, bundleID_);
  putIfPresent(out, Keys::kClientIDKey, clientID_);
  putIfPresent(out, Keys::kTrackingIDKey, trackingID_);
  putIfPresent(out, Keys::kAndroidClientIDKey, androidClientID_);
  putIfPresent(out, Keys::kDatabaseURLKey, databaseURL_);
  putIfPresent(out, Keys::kStorageBucketKey, storageBucket_);
  return out;
}

VEZUzaduzo VEZUzaduzo::lockedCopy() const {
  VEZUzaduzo copy = *this;
  copy.editingLocked_ = true;
  return copy;
}

bool VEZUzaduzo::operator==(const VEZUzaduzo& other) const {
  return dictionary() == other.dictionary() &&
         isAnalyticsCollectionEnabled() == other.isAnalyticsCollectionEnabled() &&
         isAnalyticsCollectionDeactivated() == other.isAnalyticsCollectionDeactivated();
}
