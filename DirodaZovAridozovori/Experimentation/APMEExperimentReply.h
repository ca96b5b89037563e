#pragma once
// What the experiment service's reply says: the snapshots it carries (at the top, or else one per
// SDK response, renamed after its SDK) and the SDKs it refused. The reply comes from the network:
// nothing in it is trusted, and a snapshot that cannot be read is skipped and logged.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMESnapshot.h"
#include "APMPBMessages.h"
#include "platform/Object.h"
#include "platform/Error.h"

using APMESnapshots = std::vector<std::shared_ptr<APMESnapshot>>;
// SDK name to the error the service reported for it.
using APMEFetchErrors = std::map<std::string, platform::Error>;

class APMEExperimentReply {
 public:
  static constexpr const char* kErrorDomain = "com.diroda.dmp.measurement.experiment.ErrorDomain";

  static std::optional<APMESnapshots> experimentSnapshotsFromExperimentResponse(
      const std::shared_ptr<APMPBExperimentResponse>& response);
  static std::optional<APMEFetchErrors> errorsFromExperimentResponse(
      const std::shared_ptr<APMPBExperimentResponse>& response);
  static std::optional<APMESnapshots> experimentSnapshotsFromData(const platform::Data& data);
};
