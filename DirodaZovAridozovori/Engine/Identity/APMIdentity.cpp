#include "APMIdentity.h"

#include <array>
#include <mutex>
#include <random>

#include "APMDefaultIdentitySupport.h"
#include "APMIdentityLog.h"
#include "APMIdentityPersistedConfigStore.h"
#include "MeasurementVersion.h"
#include "DirodaZovAridozovori/Store/APMPersistedConfig.h"
#include "DirodaZovAridozovori/Core/Utilities/APMStringBits.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"

namespace {


std::mutex sharedMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by sharedMutex.
std::shared_ptr<APMIdentity>& sharedIdentity() {
  static auto& instance = *new std::shared_ptr<APMIdentity>;
  return instance;
}

std::array<uint8_t, 16> randomUUIDBytes() {
  std::array<uint8_t, 16> bytes{};
  if (!platform::secureRandomBytes(bytes.data(), bytes.size())) {
    // Uniqueness, not secrecy, is what an instance ID needs; the secure generator failing must
    // not leave the installation without one.
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<uint8_t>(device());
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return bytes;
}

}  // namespace

// ---- Creation ----

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  auto& identity = sharedIdentity();
  if (!identity) {
    identity = initWithPersistedConfig(APMPersistedConfig::sharedInstance());
    if (!identity)
      APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kNoSharedIdentity,
             "Identity's shared instance is nil");
  }
  return identity;
}

void APMIdentity::setSharedInstance(std::shared_ptr<APMIdentity> identity) {
  std::lock_guard<std::mutex> lock(sharedMutex);
  sharedIdentity() = std::move(identity);
}

std::shared_ptr<APMIdentity> APMIdentity::initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> config,
                                                                  APMIdentityEnvironment environment) {
  std::shared_ptr<APMIdentityPersistence> persistence;
  if (config) persistence = std::make_shared<APMIdentityPersistedConfigStore>(std::move(config));
  return create(std::move(persistence), std::move(environment));
}

std::shared_ptr<APMIdentity> APMIdentity::create(std::shared_ptr<APMIdentityPersistence> persistence,
                                                 APMIdentityEnvironment environment) {
  if (!persistence) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kUnableCreateMeasurementIdentityMissingValid,
           "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  std::shared_ptr<APMIdentity> identity(new APMIdentity(std::move(persistence), std::move(environment)));
  identity->queue_->sync([&] { identity->setUpOnWorkerQueue(); });
  return identity;
}

APMIdentity::APMIdentity(std::shared_ptr<APMIdentityPersistence> persistence, APMIdentityEnvironment environment)
    : persistence_(std::move(persistence)),
      environment_(std::move(environment)),
      queue_(platform::DispatchQueue::create(kWorkerQueueLabel)),
      ephemeralIdentifiers_(std::make_shared<APMEphemeralIdentifiers>(queue_, environment_.isAnalyticsStorageDenied)),
      providedIdentifiers_(std::make_shared<APMProvidedIdentifiers>(queue_)),
      advertising_(persistence_, environment_) {}

void APMIdentity::setUpOnWorkerQueue() {
  if (!persistence_->appInstanceID() && !environment_.isAnalyticsStorageDenied()) {
    persistence_->setAppInstanceID(randomAppInstanceID());
  }
}

// ---- Pure helpers ----

int64_t APMIdentity::zovAridozovoriLibraryVersion() {
  std::string text = kMeasurementBuiltInVersionText;
  if (text.size() < 4) return 0;
  return std::stoll(text.substr(0, text.size() - 3));
}

std::string APMIdentity::randomAppInstanceID() {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string id;
  id.reserve(32);
  for (uint8_t byte : randomUUIDBytes()) {
    id.push_back(kHex[byte >> 4]);
    id.push_back(kHex[byte & 0x0f]);
  }
  return id;
}

int64_t APMIdentity::consentStatusFromPlatformStatus(int64_t platformStatus) {
  switch (platformStatus) {
    case 0:
      return kConsentStatusNotDetermined;
    case 1:
      return kConsentStatusRestricted;
    case 2:
      return kConsentStatusDenied;
    case 3:
      return kConsentStatusAuthorized;
    default:
      // Statuses the platform adds later, and "cannot answer" (-1).
      return kConsentStatusUnknown;
  }
}

// ---- Refresh ----

template <typename Read>
auto APMIdentity::readAfterRefresh(Read read) {
  if (queue_->isCurrent()) {
    advertising_.updateIdentifiersOnWorkerQueue();
  } else {
    updateIdentifiers();
  }
  decltype(read()) result{};
  queue_->sync([&] { result = read(); });
  return result;
}

void APMIdentity::updateIdentifiers() {
  std::weak_ptr<APMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf] {
    if (auto self = weakSelf.lock()) self->advertising_.updateIdentifiersOnWorkerQueue();
  });
}

void APMIdentity::updateIdentifiersAndWait() {
  if (queue_->isCurrent()) {
    advertising_.updateIdentifiersOnWorkerQueue();
    return;
  }
  updateIdentifiers();
  queue_->sync([] {});
}

// ---- Identifiers ----

std::optional<std::string> APMIdentity::appInstanceID() {
  if (environment_.isAnalyticsStorageDenied()) return std::nullopt;
  return readAfterRefresh([this] { return persistence_->appInstanceID(); });
}

void APMIdentity::setAppInstanceID(const std::string& appInstanceID) {
  queue_->async([self = shared_from_this(), appInstanceID] { self->persistence_->setAppInstanceID(appInstanceID); });
}

std::optional<std::string> APMIdentity::hashedResettableDeviceID() {
  if (environment_.isAdStorageDenied()) return std::nullopt;
  return readAfterRefresh([this] { return persistence_->hashedResettableDeviceID(); });
}

int64_t APMIdentity::appleConsentStatus() {
  return readAfterRefresh([this] { return advertising_.appleConsentStatus(); });
}

bool APMIdentity::hasLimitedAdTracking() { return environment_.support->hasLimitedAdTracking(); }

bool APMIdentity::limitedAdTracking() {
  return readAfterRefresh([this] { return advertising_.limitedAdTracking(); });
}

std::optional<std::string> APMIdentity::resettableDeviceID() {
  return readAfterRefresh([this] { return advertising_.resettableDeviceID(); });
}

bool APMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  bool result = false;
  queue_->sync([&] { result = persistence_->shouldSetLastAdvertisingIDResetUserProperty(); });
  return result;
}

void APMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  queue_->async([self = shared_from_this(), value] {
    self->persistence_->setShouldSetLastAdvertisingIDResetUserProperty(value);
  });
}

std::string APMIdentity::diversionKey() {
  std::string key;
  queue_->sync([&] {
    std::optional<std::string> stored = persistence_->diversionKey();
    if (stored && stored->size() == kDiversionKeyLength) {
      key = *stored;
      return;
    }
    key = randomAppInstanceID().substr(0, kDiversionKeyLength);
    persistence_->setDiversionKey(key);
  });
  return key;
}
