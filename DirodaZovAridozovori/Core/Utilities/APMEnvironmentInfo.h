#pragma once
// Facts about the device and the user's settings that every bundle carries.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class APMEnvironmentInfo {
 public:
  // The process-wide instance, created on first use.
  static std::shared_ptr<APMEnvironmentInfo> sharedInstance();
  // Drops the shared instance so the next call builds a new one (tests).
  static void resetSharedInstance();

  // Reads the device model now (it never changes while the process runs).
  APMEnvironmentInfo();
  explicit APMEnvironmentInfo(std::string deviceModel);

  // The model identifier; "" (and an error logged once) when it cannot be read.
  const std::string& deviceModel() const { return deviceModel_; }
  std::string deviceOSVersion() const;
  // The most preferred language, lower-cased ("en-us"); none (and an error logged) when the user
  // has no preferred language.
  std::optional<std::string> userDefaultLanguage() const;
  // The local time zone's current offset from GMT in minutes, truncated towards zero.
  int32_t timeZoneOffsetMinutes() const;

 private:
  std::string deviceModel_;
};
