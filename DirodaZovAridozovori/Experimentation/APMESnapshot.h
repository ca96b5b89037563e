#pragma once
// The experiments of one SDK at one moment, by experiment ID, as fetched (pending), activated or
// launched.
//
// Not synchronised: the creator fills it (addFlag, setTimestamp, setManuallyActivated) before
// sharing it; once shared it is only read, and whoever wants to change one takes a copy.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMEExperiment.h"
#include "APMPBMessages.h"

class APMESnapshot {
 public:
  // initWithSDKName:experiments: stamped now, not manually activated, holding a copy of each
  // experiment (a later one with the same ID replaces an earlier one). nullptr (logged) for a
  // missing or empty SDK name or a null experiment.
  static std::shared_ptr<APMESnapshot> create(const std::optional<std::string>& SDKName,
                                              const std::vector<std::shared_ptr<APMEExperiment>>& experiments);
  // initWithProtobuf: the SDK name and the experiments of the message; nullptr when the message
  // names no SDK.
  static std::shared_ptr<APMESnapshot> fromProto(const APMPBSnapshot& proto);

  const std::string& SDKName() const { return SDKName_; }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  bool manuallyActivated() const { return manuallyActivated_; }
  void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }

  // Every experiment, by ascending ID.
  std::vector<std::shared_ptr<APMEExperiment>> experiments() const;
  const std::map<int64_t, std::shared_ptr<APMEExperiment>>& experimentsByExperimentID() const {
    return experimentsByExperimentID_;
  }
  // The flag of that name in the first experiment (by ascending ID) that holds one.
  std::shared_ptr<APMPBFlag> flagByName(const std::string& name) const;

  // Adds to the experiment of that ID, creating it when absent; refuses (logged) a missing ID or
  // a null flag.
  void addFlag(const std::shared_ptr<APMPBFlag>& flag, std::optional<int64_t> experimentID);
  void addFlags(const std::vector<std::shared_ptr<APMPBFlag>>& flags, std::optional<int64_t> experimentID);

  // A new snapshot of the same SDK and experiments: stamped now and not manually activated.
  std::shared_ptr<APMESnapshot> copy() const;
  std::shared_ptr<APMPBSnapshot> proto() const;
  // A short readable form for log lines.
  std::string description() const;

  APMESnapshot(std::string SDKName, double timestamp) : SDKName_(std::move(SDKName)), timestamp_(timestamp) {}

 private:
  std::string SDKName_;
  double timestamp_;
  bool manuallyActivated_ = false;
  std::map<int64_t, std::shared_ptr<APMEExperiment>> experimentsByExperimentID_;
};
