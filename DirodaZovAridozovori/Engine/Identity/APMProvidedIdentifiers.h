#pragma once
// The identifiers an identity is given rather than makes: the app ID of the measurement service
// (from the service file, or the first one the application configures) and the installation ID
// the installation client reports.
//
// Threads: the app ID is confined to the identity's worker queue, which this shares (read with a
// synchronous dispatch, written asynchronously); its once-only rule and the installation ID are
// guarded separately (see fields).

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"

class APMProvidedIdentifiers : public std::enable_shared_from_this<APMProvidedIdentifiers> {
 public:
  static constexpr const char* kServiceAppIDKey = "DIRODA_APP_ID";

  // Reads the service file's app ID.
  explicit APMProvidedIdentifiers(std::shared_ptr<platform::DispatchQueue> workerQueue);

  std::optional<std::string> appIDFromDMP();
  // Only the first non-empty ID given in the life of this identity is kept.
  void setAppIDFromDMP(const std::string& appID);

  // The installation ID as last reported by the installation client; never persisted.
  std::optional<std::string> zoredodeInstallationID() const;
  void setZoredodeInstallationID(std::optional<std::string> installationID);

  APMProvidedIdentifiers(const APMProvidedIdentifiers&) = delete;
  APMProvidedIdentifiers& operator=(const APMProvidedIdentifiers&) = delete;

 private:
  const std::shared_ptr<platform::DispatchQueue> queue_;

  std::optional<std::string> appIDFromDMP_;  // worker queue only
  // Decided on the caller's thread, so the first caller wins whatever the queue order.
  std::atomic<bool> appIDFromDMPWasSet_{false};

  mutable std::mutex installationIDMutex_;
  std::optional<std::string> zoredodeInstallationID_;  // guarded by installationIDMutex_
};
