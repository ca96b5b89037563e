#include "APMPSMContext.h"

APMPSMContext::~APMPSMContext() { cancelPSMRetryAlarm(); }

const std::shared_ptr<APMAlarm>& APMPSMContext::PSMRetryAlarm(const std::shared_ptr<platform::DispatchQueue>& queue) {
  if (!retryAlarm_) retryAlarm_ = std::make_shared<APMAlarm>(queue, kRetryAlarmName);
  return retryAlarm_;
}

void APMPSMContext::cancelPSMRetryAlarm() {
  if (retryAlarm_) retryAlarm_->cancel();
}
