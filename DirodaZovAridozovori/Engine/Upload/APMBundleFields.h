#pragma once
// The rules that fill, compare and redact the identifier and consent fields of a measurement
// bundle. Bundling applies them when a bundle is made, and the upload applies them again to
// queued bundles, because consent and identifiers may have changed while a bundle waited.
//
// Free of queues and storage: the identity's answers come in as a plain value.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class APMEncodedMessage;
class APMPBMeasurementBundle;
class APMPBUserAttribute;

// What the identifier rules need to know of the identity, read once per bundle or batch.
struct APMBundleIdentity {
  // The limited-ad-tracking state, when the identity knows it.
  std::optional<bool> limitedAdTracking;
  std::optional<std::string> resettableDeviceID;
  std::optional<std::string> vendorID;
  std::optional<std::string> appInstanceID;
  std::string ephemeralAppInstanceID;
  // The tracking-authorisation status; 3 is authorised, 6 is never written to a bundle.
  int64_t trackingAuthorizationStatus = 0;
  // The platform has the tracking-authorisation API.
  bool hasTrackingAuthorization = true;
};

// What the consent rules need to know of the configuration.
struct APMBundleConsentConfig {
  bool isDMARegion = true;
  std::set<std::string> corePlatformServices;
};

// A signal character that denies its storage.
bool APMIsSignalDenied(char signal);
// Character 3 of a consent-signals text of at least 4 characters.
bool APMIsAnalyticsStorageDeniedInSignals(const std::string& signals);
bool APMIsAdStorageDeniedInSignals(const std::string& signals);

// Fills the consent signals (field 40), the tracking status (41), the device IDs (19, 20), the
// app instance ID (22) and the limited-ad-tracking flag (21); clears what the signals deny.
void APMSetIdentifierFields(APMPBMeasurementBundle& bundle, const std::string& consentSignals, bool attGate,
                            const APMBundleIdentity& identity, bool overwrite);
// The same on a bundle's encoding, as the encoder would write the changed message.
void APMSetIdentifierFields(APMEncodedMessage& bundle, const std::string& consentSignals, bool attGate,
                            const APMBundleIdentity& identity, bool overwrite);

// Fills the consent diagnostics (47), the DMA region (48), the core platform services (49) and the
// "_npa" user property.
void APMSetConsentFields(APMPBMeasurementBundle& bundle, const std::string& consentDiagnostics, bool adUserDataDenied,
                         const std::shared_ptr<APMPBUserAttribute>& npa, const APMBundleConsentConfig& config,
                         bool overwrite);
void APMSetConsentFields(APMEncodedMessage& bundle, const std::string& consentDiagnostics, bool adUserDataDenied,
                         const std::shared_ptr<APMPBUserAttribute>& npa, const APMBundleConsentConfig& config,
                         bool overwrite);

// YES when one of the bundle's events is the first-open event "_f".
bool APMBundleHasFirstOpen(const APMPBMeasurementBundle& bundle);

// YES when two bundles may travel in one batch: equal consent texts, DMA flag and "_npa" value.
bool APMBundlesShareMetadata(const APMPBMeasurementBundle& first, const APMPBMeasurementBundle& second);
bool APMBundlesShareMetadata(const APMEncodedMessage& first, const APMEncodedMessage& second);

// Applies the configuration's data controls ("app_instance_id", "user_id", "os_version",
// "device_model", "device_info", "enhanced_user_id"); a non-empty list is recorded in field 44.
void APMRedactBundle(APMPBMeasurementBundle& bundle, const std::vector<std::string>& redactedNames,
                     const APMBundleIdentity& identity);
void APMRedactBundle(APMEncodedMessage& bundle, const std::vector<std::string>& redactedNames,
                     const APMBundleIdentity& identity);

// The longest prefix of bundles that share the app ID and device ID of the reference values; a
// bundle without an ID of the reference kind passes. Both a resettable and a vendor reference is a
// caller error: nothing is kept (and it is logged).
// The length of that prefix.
size_t APMCompatibleBundlePrefix(const std::vector<std::shared_ptr<APMPBMeasurementBundle>>& bundles,
                                 const std::optional<std::string>& appID,
                                 const std::optional<std::string>& resettableDeviceID,
                                 const std::optional<std::string>& vendorDeviceID);
size_t APMCompatibleBundlePrefix(const std::vector<const APMEncodedMessage*>& bundles,
                                 const std::optional<std::string>& appID,
                                 const std::optional<std::string>& resettableDeviceID,
                                 const std::optional<std::string>& vendorDeviceID);

// The reference values of a batch: the first bundle's app ID, and the first non-empty resettable
// device ID of the bundles, or else the first non-empty vendor ID (never both).
struct APMBatchReference {
  std::optional<std::string> appID;
  std::optional<std::string> resettableDeviceID;
  std::optional<std::string> vendorDeviceID;
};
APMBatchReference APMBatchReferenceForBundles(const std::vector<std::shared_ptr<APMPBMeasurementBundle>>& bundles);
APMBatchReference APMBatchReferenceForBundles(const std::vector<const APMEncodedMessage*>& bundles);
