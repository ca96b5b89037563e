#include "APMEExperiment.h"

#include "APMEFlags.h"
#include "APMEMonitor.h"
#include "APMNanoAccessors.h"

std::shared_ptr<APMEExperiment> APMEExperiment::create(std::optional<int64_t> experimentID,
                                                       const std::vector<std::shared_ptr<APMPBFlag>>& flags) {
  if (!experimentID) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotCreateExperimentWithoutID,
           "Cannot create an experiment without ID");
    return nullptr;
  }
  auto experiment = std::make_shared<APMEExperiment>(*experimentID);
  for (const auto& flag : flags) {
    if (!flag) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kNonFlagNotAdded,
             "Cannot add non-flag into the experiment. Flag", nullptr);
      return nullptr;
    }
    experiment->addFlag(flag);
  }
  return experiment;
}

std::shared_ptr<APMEExperiment> APMEExperiment::fromProto(const APMPBExperiment& proto) {
  auto experiment = std::make_shared<APMEExperiment>(APMNanoGetInt32(proto, APMPBExperiment::kExperimentId));
  auto flags = APMNanoGetRepeatedField<std::shared_ptr<APMPBFlag>>(proto, APMPBExperiment::kFlags);
  if (flags) {
    for (const auto& flag : *flags) experiment->addFlag(flag);
  }
  return experiment;
}

std::vector<std::shared_ptr<APMPBFlag>> APMEExperiment::flags() const {
  std::vector<std::shared_ptr<APMPBFlag>> result;
  result.reserve(flagsByName_.size());
  for (const auto& [name, flag] : flagsByName_) result.push_back(flag);
  return result;
}

void APMEExperiment::addFlag(const std::shared_ptr<APMPBFlag>& flag) {
  if (!flag) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kEmptyFlagNotAdded,
           "Cannot add empty flag into an experiment. ID", experimentID_);
    return;
  }
  auto name = APMNanoGetString(*flag, APMPBFlag::kName);
  if (!name) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kFlagWithoutNameNotAdded,
           "Cannot add a flag without name into an experiment. ID", experimentID_);
    return;
  }
  flagsByName_.insert_or_assign(std::move(*name), flag);
}

std::shared_ptr<APMPBFlag> APMEExperiment::flagWithName(const std::string& name) const {
  if (name.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kFlagWithoutNameNotRetrieved,
           "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  auto found = flagsByName_.find(name);
  return found == flagsByName_.end() ? nullptr : found->second;
}

std::shared_ptr<APMEExperiment> APMEExperiment::copy() const { return std::make_shared<APMEExperiment>(*this); }

std::shared_ptr<APMPBExperiment> APMEExperiment::proto() const {
  auto message = std::make_shared<APMPBExperiment>();
  APMNanoSetInt32(*message, APMPBExperiment::kExperimentId, static_cast<int32_t>(experimentID_));
  APMNanoSetRepeatedField(*message, APMPBExperiment::kFlags, flags());
  return message;
}

std::string APMEExperiment::description() const {
  std::string text = "{id = " + std::to_string(experimentID_) + "; flags = {";
  bool first = true;
  for (const auto& [name, flag] : flagsByName_) {
    if (!first) text += ", ";
    first = false;
    auto value = APMEValueFromFlag(*flag);
    text += name + " = " + (value ? value->description() : "(null)");
  }
  return text + "}}";
}
