#pragma once
// What the configuration says of single events: each event's block-list mark, custom-conversion
// mark and sampling rate, kept under the event's internal short name where one exists.
//
// Threads: a parse on the worker queue replaces the rules while getters on other queues read them;
// one mutex guards them.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "APMFeatureSwitches.h"

class APMPBEventConfig;

class APMEventRules {
 public:
  using EventConfigs = std::map<std::string, std::shared_ptr<APMPBEventConfig>>;

  // An event without a rule of its own follows the block list of its kind.
  explicit APMEventRules(APMFeatureSwitches& features) : features_(features) {}
  APMEventRules(const APMEventRules&) = delete;
  APMEventRules& operator=(const APMEventRules&) = delete;

  std::shared_ptr<APMPBEventConfig> eventConfigWithName(const std::string& name) const;
  bool isEventBlocklisted(const std::string& name);
  bool isEventCustomConversion(const std::string& name) const;
  bool eventHasSamplingRate(const std::string& name) const;
  int32_t samplingRateForEvent(const std::string& name) const;

  void replace(EventConfigs eventConfigs);
  void clear();

 private:
  APMFeatureSwitches& features_;
  mutable std::mutex mutex_;
  EventConfigs cachedEventConfigByEventName_;
};
