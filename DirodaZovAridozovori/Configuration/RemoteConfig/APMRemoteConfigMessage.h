#pragma once
// The configuration message in force: the one last stored or read back from the database, and
// what is read straight from it (its version and the upload subdomain).
//
// Threads: a parse on the worker queue replaces the message while getters on other queues read it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class APMPBMeasurementConfig;

class APMRemoteConfigMessage {
 public:
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto() const;
  // nullptr forgets the message.
  void setRemoteConfigProto(std::shared_ptr<APMPBMeasurementConfig> config);

  // -1 without a message or without a version in it.
  int64_t version() const;
  std::optional<std::string> uploadSubdomain() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_;
};
