#pragma once
// What one run of the engine knows about its private-set-membership queries: the client of the
// current initiation, whether its query is on the network or waits for the network, how often
// queries were initiated in this process and how often the current one failed, and the retry
// alarm. It exists only while a client class is linked; a wipe replaces it with a fresh one.
//
// Threads: created, read and changed on the engine's worker queue only.

#include <cstdint>
#include <memory>

#include "APMAlarm.h"
#include "platform/DispatchQueue.h"
#include "platform/PrivateSetMembershipClient.h"

class APMPSMContext {
 public:
  static constexpr const char* kRetryAlarmName = "On-device conversion measurement timer";

  APMPSMContext() = default;
  // A replaced context must not fire its retry into the one that replaced it.
  ~APMPSMContext();
  APMPSMContext(const APMPSMContext&) = delete;
  APMPSMContext& operator=(const APMPSMContext&) = delete;

  std::shared_ptr<platform::PrivateSetMembershipClient> PSMClient;
  bool isPSMRequestInProgress = false;
  bool isPSMRequestPostponed = false;
  int32_t PSMStartCount = 0;
  int32_t PSMRetryCount = 0;

  // The retry alarm on queue, created on first use (nullptr while it was never needed).
  const std::shared_ptr<APMAlarm>& PSMRetryAlarm(const std::shared_ptr<platform::DispatchQueue>& queue);
  const std::shared_ptr<APMAlarm>& existingPSMRetryAlarm() const { return retryAlarm_; }
  void cancelPSMRetryAlarm();

 private:
  std::shared_ptr<APMAlarm> retryAlarm_;
};
