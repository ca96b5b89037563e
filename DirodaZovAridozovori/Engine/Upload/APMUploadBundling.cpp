#include "APMUploadBundling.h"

#include <algorithm>

#include "APMScheduler.h"
#include "RemoteConfig/APMRemoteConfig.h"

APMUploadBundling::APMUploadBundling(std::shared_ptr<APMDatabase> database, std::shared_ptr<APMRemoteConfig> remoteConfig,
                                     std::shared_ptr<APMScheduler> scheduler, const APMUploadHooks& hooks,
                                     std::function<bool()> batchIsOut)
    : database_(std::move(database)),
      remoteConfig_(std::move(remoteConfig)),
      scheduler_(std::move(scheduler)),
      bundleRawEvents_(hooks.bundleRawEvents),
      bundleRawEventGroups_(hooks.bundleRawEventGroups),
      batchIsOut_(std::move(batchIsOut)) {}

void APMUploadBundling::bundleForAttempt(bool expired) {
  // An attempt makes at most the configured number of groups, less those made for it while the
  // previous batch was out.
  attemptQuota_ = expired ? 0 : std::max(0, remoteConfig_->uploadLimits().maxBundlesCreatedPerIteration() - bundledAhead_);
  bundledAhead_ = 0;
  bundleUntilBatchIsWhole();
}

APMUploadHooks::BundlingStep APMUploadBundling::bundlingStep(int32_t groups, const std::function<bool()>& enough) {
  APMUploadHooks::BundlingStep step;
  if (groups <= 0) return step;
  if (bundleRawEventGroups_) return bundleRawEventGroups_(groups, enough);
  if (!bundleRawEvents_) return step;
  step.stopped = false;
  while (step.bundled < groups) {
    if (!bundleRawEvents_()) {
      step.stopped = true;
      break;
    }
    ++step.bundled;
    if (enough && enough()) break;
  }
  return step;
}

bool APMUploadBundling::queueHoldsWholeBatch(APMDatabaseBundleQueue::QueueReading& reading) {
  // A failed read counts as not whole: bundling goes on as it would have, and the next question
  // reads the queue afresh.
  platform::Error error;
  const auto whole = database_->bundleQueue().queueHoldsFullBatch(
      remoteConfig_->uploadLimits().uploadMaxBundlesLimit(), remoteConfig_->uploadLimits().uploadMaxSizeLimitBytes(),
      reading, &error);
  if (!whole) reading = APMDatabaseBundleQueue::QueueReading{};
  return whole.value_or(false);
}

void APMUploadBundling::bundleUntilBatchIsWhole() {
  // Once the oldest queued bundles make a whole batch, nothing bundled now could join it: the
  // batch leaves, and the attempt's bundling goes on while it is out. Until then groups only add
  // bundles behind those already counted, so each question reads just the new ones; a step that
  // stops (a group rolled back) ends the loop before the reading could count a bundle undone.
  APMDatabaseBundleQueue::QueueReading reading;
  const std::function<bool()> whole = [this, &reading] { return queueHoldsWholeBatch(reading); };
  while (attemptQuota_ > 0 && !whole()) {
    const APMUploadHooks::BundlingStep step = bundlingStep(attemptQuota_, whole);
    attemptQuota_ -= std::max(0, step.bundled);
    if (step.stopped || step.bundled <= 0) {
      attemptQuota_ = 0;
      return;
    }
  }
}

void APMUploadBundling::scheduleBundlingAhead(std::weak_ptr<const void> owner) {
  if (bundlingAheadScheduled_) return;
  bundlingAheadScheduled_ = true;
  std::weak_ptr<APMUploadBundling> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMUploadController:bundleAhead", [weakSelf, owner] {
    auto keptOwner = owner.lock();
    if (!keptOwner) return;
    if (auto self = weakSelf.lock()) self->bundleAhead(owner);
  });
}

void APMUploadBundling::bundleAhead(const std::weak_ptr<const void>& owner) {
  bundlingAheadScheduled_ = false;
  // Only while a batch is out: its reply, queued behind at most one step, starts the next attempt.
  if (!batchIsOut_()) return;
  const bool forThisAttempt = attemptQuota_ > 0;
  const int32_t room = forThisAttempt ? attemptQuota_ : remoteConfig_->uploadLimits().maxBundlesCreatedPerIteration() - bundledAhead_;
  if (room <= 0) return;
  // One transaction for as much of the room as runs before anything else waits on the worker
  // queue (the reply, the event road): each commit rewrites the pages every group shares, and a
  // purchase stream's small groups paid for that more than for their own rows. The reply still
  // waits behind at most the first kGroupsPerStepAhead groups.
  const auto& queue = scheduler_->workerQueue();
  int32_t made = 0;
  const std::function<bool()> enough = [&queue, &made] {
    return ++made >= kGroupsPerStepAhead && queue->pendingCount() > 0;
  };
  const APMUploadHooks::BundlingStep step = bundlingStep(room, enough);
  const int32_t bundled = std::max(0, step.bundled);
  if (forThisAttempt) {
    attemptQuota_ -= bundled;
  } else {
    bundledAhead_ += bundled;
  }
  if (step.stopped || bundled == 0) {
    attemptQuota_ = 0;
    return;
  }
  scheduleBundlingAhead(owner);
}
