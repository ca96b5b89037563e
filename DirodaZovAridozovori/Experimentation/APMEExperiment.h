#pragma once
// One server-side experiment: its ID and its flags by name. ID 0 is the rolled-out (launched)
// experiment of an SDK.
//
// Not synchronised: the creator fills it (addFlag) before sharing it; once shared it is only read.
// Flags are shared between copies and never changed after they were added.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMPBMessages.h"

class APMEExperiment {
 public:
  // initWithExperimentID:flags: nullptr (logged) without an ID or with a null flag. A later flag
  // of the same name replaces an earlier one.
  static std::shared_ptr<APMEExperiment> create(std::optional<int64_t> experimentID,
                                                const std::vector<std::shared_ptr<APMPBFlag>>& flags);
  // initWithProtobuf: the ID (0 when absent) and the flags of the message.
  static std::shared_ptr<APMEExperiment> fromProto(const APMPBExperiment& proto);

  int64_t experimentID() const { return experimentID_; }
  // Every flag, by name.
  std::vector<std::shared_ptr<APMPBFlag>> flags() const;
  size_t flagCount() const { return flagsByName_.size(); }
  // Refuses (logged) a null flag and a flag without a name.
  void addFlag(const std::shared_ptr<APMPBFlag>& flag);
  // nullptr when absent; an empty name is logged.
  std::shared_ptr<APMPBFlag> flagWithName(const std::string& name) const;
  // A new experiment with the same ID and flags.
  std::shared_ptr<APMEExperiment> copy() const;
  std::shared_ptr<APMPBExperiment> proto() const;
  // A short readable form for log lines.
  std::string description() const;

  explicit APMEExperiment(int64_t experimentID) : experimentID_(experimentID) {}

 private:
  int64_t experimentID_;
  std::map<std::string, std::shared_ptr<APMPBFlag>, std::less<>> flagsByName_;
};
