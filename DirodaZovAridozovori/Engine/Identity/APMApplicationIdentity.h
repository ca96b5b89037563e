#pragma once
// The application an identity speaks for: its bundle identifier, its version and the version's
// numbers, where it was installed from and the vendor-identifier switch in its Info.plist. All of
// it is read once, when the identity is made, and never changes afterwards, so any thread may read it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class APMApplicationIdentity {
 public:
  static constexpr const char* kIDFVCollectionEnabledKey = "DIRODA_ANALYTICS_IDFV_COLLECTION_ENABLED";

  // Reads the main bundle.
  APMApplicationIdentity();

  // "1.2b.3" gives 1, 2, 3: each non-empty "."-separated field with its non-digits removed.
  static std::vector<int32_t> numericFieldsFromAppVersionNumeric(const std::string& version);

  // Info.plist "DIRODA_ANALYTICS_IDFV_COLLECTION_ENABLED" when it is a number.
  std::optional<bool> idfvCollectionEnabled() const { return idfvCollectionEnabled_; }

  // No vendor identifier exists on this platform.
  std::optional<std::string> identifierForVendor() const { return std::nullopt; }
  static bool iOS14OrAbove() { return true; }
  bool isFromAppStore() const;

  const std::string& appID() const { return appID_; }
  const std::string& appVersion() const { return appVersion_; }
  std::optional<int32_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<int32_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<int32_t> appVersionRelease() const { return appVersionRelease_; }

 private:
  std::string appID_;
  std::string appVersion_;
  std::optional<int32_t> appVersionMajor_;
  std::optional<int32_t> appVersionMinor_;
  std::optional<int32_t> appVersionRelease_;
  std::optional<bool> idfvCollectionEnabled_;
};
