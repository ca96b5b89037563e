#pragma once
// The last TCF reading reported, kept in its own suite so that an unchanged reading does nothing,
// also across launches: each value of the reading, and last its representation, the text later
// readings are compared with.
//
// Threads: the client's, on its engine's worker queue only; nothing here is guarded.

#include <memory>
#include <string>

#include "APMTCFData.h"

class APMUserDefaults;

class APMTCFStoredReading {
 public:
  static constexpr const char* kSuiteName = "com.diroda.dmp.measurement.tcf.userdefaults";
  static constexpr const char* kStringRepresentationKey = "tcf_StringRepresentation";
  // Present in every representation this version stores; an older one lacks it.
  static constexpr const char* kRepresentationVersion = "_v_=2";

  APMTCFStoredReading();

  // The text a reading is stored and compared as.
  static std::string stringRepresentationFromTCFData(const APMTCFData& data);
  bool equalsRepresentation(const std::string& representation) const;
  // The stored representation, empty when none is stored.
  std::string storedRepresentation() const;
  // The stored reading made again from its values.
  APMTCFData storedData() const;
  void store(const APMTCFData& data);
  void clear();

  const std::shared_ptr<APMUserDefaults>& userDefaults() const { return userDefaults_; }

 private:
  std::shared_ptr<APMUserDefaults> userDefaults_;
};
