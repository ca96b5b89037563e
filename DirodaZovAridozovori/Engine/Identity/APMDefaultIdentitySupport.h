#pragma once
// The identity support the engine uses: forwards to the platform support when one is registered
// under "APMPlatformIdentitySupport", and answers "nothing available" otherwise.
//
// The platform's advertising identifier can be slow to come: resettableDeviceID() asks for it on
// this support's own queue and waits at most kDeviceIDWaitSeconds, then returns the last answer
// received, so a late answer shows on a later call instead of stalling the caller.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "APMIdentitySupport.h"
#include "platform/DispatchQueue.h"

class APMDefaultIdentitySupport final : public APMIdentitySupport {
 public:
  static constexpr double kDeviceIDWaitSeconds = 0.010;
  static constexpr const char* kQueueLabel = "APMDefaultIdentitySupport";

  static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
  // Forgets the shared instance (tests).
  static void resetSharedInstance();

  APMDefaultIdentitySupport();

  static bool iOS14OrAbove() { return true; }
  // A platform support was found at creation.
  bool hasPlatformSupport() const { return platform_ != nullptr; }

  bool hasAppDataConsentStatus() override;
  int64_t appDataConsentStatus() override;
  bool hasLimitedAdTracking() override;
  // YES when no usable advertising identifier is available (none, or the all-zero one).
  bool limitedAdTracking() override;
  std::optional<std::string> resettableDeviceID() override;

 private:
  // Shared with the blocks on queue_, so a late answer has somewhere to go even when this support
  // is gone by then.
  struct KeptDeviceID {
    std::mutex mutex;
    std::optional<std::string> value;  // guarded by mutex
  };

  std::shared_ptr<APMIdentitySupport> platform_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<KeptDeviceID> kept_;
};
