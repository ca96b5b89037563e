#pragma once
// The upload road's bundling around a batch: an attempt bundles only until a whole batch waits in
// the queue (more could not join it), and while that batch is out the rest of the attempt's groups,
// then up to a next attempt's worth, are bundled in steps that end once the reply (or anything
// else) waits on the worker queue.
// The bundles and batches are the ones bundling everything first would make, and the time spent
// waiting for replies goes into bundling.
//
// Worker queue only. Owned by its upload controller, which says whether a batch is out.

#include <cstdint>
#include <functional>
#include <memory>

#include "APMDatabase.h"
#include "APMUploadController.h"

class APMRemoteConfig;
class APMScheduler;

class APMUploadBundling : public std::enable_shared_from_this<APMUploadBundling> {
 public:
  // Groups a step of bundling while a batch is out makes before it ends for a block waiting on the
  // worker queue: few, so the reply waits little.
  static constexpr int32_t kGroupsPerStepAhead = 10;

  // batchIsOut answers whether bundling ahead may go on (a batch is out, uploads are neither
  // suspended nor waiting for a new configuration).
  APMUploadBundling(std::shared_ptr<APMDatabase> database, std::shared_ptr<APMRemoteConfig> remoteConfig,
                    std::shared_ptr<APMScheduler> scheduler, const APMUploadHooks& hooks,
                    std::function<bool()> batchIsOut);

  // The attempt's bundling before its batch leaves: at most the configured number of groups, less
  // those made for it while the previous batch was out (none with an expired configuration), until
  // they are made, nothing is left, or the queue already holds a whole batch.
  void bundleForAttempt(bool expired);
  // While a batch is out the worker would wait for its reply: it bundles on in steps, first
  // what is left of the attempt's groups, then up to a next attempt's worth, which that attempt
  // counts as its own. owner is kept alive while a step runs.
  void scheduleBundlingAhead(std::weak_ptr<const void> owner);

 private:
  // Up to groups groups of raw events become queued bundles, through whichever hook is given.
  APMUploadHooks::BundlingStep bundlingStep(int32_t groups, const std::function<bool()>& enough);
  bool queueHoldsWholeBatch(APMDatabaseBundleQueue::QueueReading& reading);
  void bundleUntilBatchIsWhole();
  void bundleAhead(const std::weak_ptr<const void>& owner);

  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMScheduler> scheduler_;
  std::function<bool()> bundleRawEvents_;
  std::function<APMUploadHooks::BundlingStep(int32_t limit, const std::function<bool()>& enough)> bundleRawEventGroups_;
  std::function<bool()> batchIsOut_;
  // Groups the current attempt may still bundle; groups bundled ahead for the next attempt.
  int32_t attemptQuota_ = 0;
  int32_t bundledAhead_ = 0;
  bool bundlingAheadScheduled_ = false;
};
