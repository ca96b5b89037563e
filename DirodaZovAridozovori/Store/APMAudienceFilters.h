#pragma once
// Stored audience filters (event and property filters with their encoded filter message) and the
// stored evaluation results of an audience.

#include <cstdint>
#include <string>

#include "platform/Object.h"

class APMEventFilter {
 public:
  APMEventFilter(int32_t audienceID, int32_t filterID, std::string eventName, platform::Data data, bool sessionScoped,
                 bool dynamic, bool sequence)
      : audienceID_(audienceID), filterID_(filterID), eventName_(std::move(eventName)), data_(std::move(data)),
        sessionScoped_(sessionScoped), dynamic_(dynamic), sequence_(sequence) {}

  int32_t audienceID() const { return audienceID_; }
  int32_t filterID() const { return filterID_; }
  const std::string& eventName() const { return eventName_; }
  const platform::Data& data() const { return data_; }
  bool isSessionScoped() const { return sessionScoped_; }
  bool isDynamic() const { return dynamic_; }
  bool isSequence() const { return sequence_; }
  bool operator==(const APMEventFilter&) const = default;

 private:
  int32_t audienceID_;
  int32_t filterID_;
  std::string eventName_;
  platform::Data data_;
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
};

class APMPropertyFilter {
 public:
  APMPropertyFilter(int32_t audienceID, int32_t filterID, std::string propertyName, platform::Data data,
                    bool sessionScoped, bool dynamic, bool sequence)
      : audienceID_(audienceID), filterID_(filterID), propertyName_(std::move(propertyName)), data_(std::move(data)),
        sessionScoped_(sessionScoped), dynamic_(dynamic), sequence_(sequence) {}

  int32_t audienceID() const { return audienceID_; }
  int32_t filterID() const { return filterID_; }
  const std::string& propertyName() const { return propertyName_; }
  const platform::Data& data() const { return data_; }
  bool isSessionScoped() const { return sessionScoped_; }
  bool isDynamic() const { return dynamic_; }
  bool isSequence() const { return sequence_; }
  bool operator==(const APMPropertyFilter&) const = default;

 private:
  int32_t audienceID_;
  int32_t filterID_;
  std::string propertyName_;
  platform::Data data_;
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
};

class APMFilterResult {
 public:
  APMFilterResult(int32_t audienceID, platform::Data currentResults, platform::Data previousResults)
      : audienceID_(audienceID), currentResults_(std::move(currentResults)), previousResults_(std::move(previousResults)) {}

  int32_t audienceID() const { return audienceID_; }
  const platform::Data& currentResults() const { return currentResults_; }
  const platform::Data& previousResults() const { return previousResults_; }
  bool operator==(const APMFilterResult&) const = default;

 private:
  int32_t audienceID_;
  platform::Data currentResults_;
  platform::Data previousResults_;
};
