#pragma once
// The configuration message in force (the one last stored or read back from the database), what
// is read straight from it (its version and the upload subdomain), and how old it is: the time the
// database stored it, and whether that is longer ago than the configured cache time.
//
// Threads: a parse on the worker queue replaces the message while getters on other queues read it;
// the age is read from the database, on the worker queue only.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "APMSettingsCache.h"

class APMDatabase;
class APMPBMeasurementConfig;

class APMRemoteConfigMessage {
 public:
  // The default instance has no database: it is never expired and has no update time.
  APMRemoteConfigMessage(bool isDefaultInstance, std::weak_ptr<APMDatabase> database, APMSettingsCache& settings)
      : isDefaultInstance_(isDefaultInstance), database_(std::move(database)), settings_(settings) {}
  APMRemoteConfigMessage(const APMRemoteConfigMessage&) = delete;
  APMRemoteConfigMessage& operator=(const APMRemoteConfigMessage&) = delete;

  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto() const;
  // nullptr forgets the message.
  void setRemoteConfigProto(std::shared_ptr<APMPBMeasurementConfig> config);

  // -1 without a message or without a version in it.
  int64_t version() const;
  std::optional<std::string> uploadSubdomain() const;

  bool isExpired() const;
  double lastRemoteConfigUpdateTimestamp() const;
  double remoteConfigCacheTimeInterval() const {
    return settings_.timeIntervalInSeconds(APMSettings::kRemoteConfigCacheTimeInterval);
  }

 private:
  const bool isDefaultInstance_;
  const std::weak_ptr<APMDatabase> database_;
  APMSettingsCache& settings_;

  mutable std::mutex mutex_;
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_;
};
