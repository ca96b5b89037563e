#pragma once
// The identifiers an identity keeps in memory only, made at random when first asked for and
// dropped when consent or the user changes: the ephemeral app instance ID and the token that
// ties sessions together.
//
// Threads: the state is confined to the identity's worker queue, which this shares. Readers wait
// for it with a synchronous dispatch; resets are queued.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"

class APMEphemeralIdentifiers : public std::enable_shared_from_this<APMEphemeralIdentifiers> {
 public:
  static constexpr double kSessionStitchingTokenLifetime = 86400;

  APMEphemeralIdentifiers(std::shared_ptr<platform::DispatchQueue> workerQueue,
                          std::function<bool()> isAnalyticsStorageDenied);

  std::string ephemeralAppInstanceID();
  void resetEphemeralAppInstanceID();
  void resetEphemeralAppInstanceIDOnWorkerQueue();

  // The token that ties sessions together; none while analytics storage is denied.
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(int64_t sessionNumber, bool sessionExpired,
                                                                    bool userIDAvailable);
  void resetSessionStitchingToken();
  void resetSessionStitchingTokenOnWorkerQueue();

  APMEphemeralIdentifiers(const APMEphemeralIdentifiers&) = delete;
  APMEphemeralIdentifiers& operator=(const APMEphemeralIdentifiers&) = delete;

 private:
  const std::shared_ptr<platform::DispatchQueue> queue_;
  const std::function<bool()> isAnalyticsStorageDenied_;

  // Worker queue only.
  std::optional<std::string> sessionStitchingToken_;
  std::optional<int64_t> sessionNumber_;
  bool sessionExpired_ = false;
  std::optional<double> sessionStitchingTokenExpiry_;
  std::optional<std::string> ephemeralAppInstanceID_;
};
