#pragma once
// The configuration's side of its experiment client: the experiments in effect, the activation of
// a newly fetched snapshot before an upload, and the flags the configuration's switches follow
// ("customer_type_enabled" cached at each activation, "session_stitching_token_feature_enabled"
// read live).
//
// Threads: the new-snapshot notice arrives on the main queue and activations run on the worker
// queue; one mutex guards the notice and the cached flags.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Object.h"

// The experiment client the configuration registers as the SDK "app_measurement".
class APMRemoteConfigExperimentClient {
 public:
  virtual ~APMRemoteConfigExperimentClient() = default;
  // Activates the newest fetched snapshot; false (with *error) when it cannot.
  virtual bool activateLatestSnapshot(platform::Error* error) = 0;
  // The activated value of a flag, if any.
  virtual std::optional<platform::Object> flagValue(const std::string& name) = 0;
  virtual std::vector<int64_t> experimentIDs() = 0;
  virtual void reset() = 0;
};

class APMRemoteConfigExperiments {
 public:
  static constexpr const char* kSessionStitchingFlag = "session_stitching_token_feature_enabled";
  static constexpr const char* kCustomerTypeFlag = "customer_type_enabled";

  // Without a client there are no experiments and no flags.
  explicit APMRemoteConfigExperiments(std::shared_ptr<APMRemoteConfigExperimentClient> client)
      : experimentClient_(std::move(client)) {}
  APMRemoteConfigExperiments(const APMRemoteConfigExperiments&) = delete;
  APMRemoteConfigExperiments& operator=(const APMRemoteConfigExperiments&) = delete;

  // At creation: activates what an earlier process fetched and caches its flags.
  void activateStaleSnapshot();

  std::vector<int64_t> experimentIDs() const;
  void clientDidReceiveNewSnapshot();
  void clientDidReceiveFetchError(const std::optional<platform::Error>& error);
  bool shouldFetchExperiments() const;
  bool activateNewSnapshot();
  void updateCachedExperimentFlags();

  // The client's activated value of a flag, asked now.
  std::optional<platform::Object> liveFlag(const std::string& name) const;
  // The value of a flag as of the last activation.
  std::optional<platform::Object> cachedFlag(const std::string& name) const;

  void clearCachedFlags();
  // Forgets the cached flags and resets the client.
  void reset();

 private:
  std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient_;
  mutable std::mutex mutex_;
  platform::Dictionary cachedExperimentFlags_;
  bool hasNewSnapshot_ = false;
};
