#pragma once
// The platform's ad-attribution framework, as far as the SDK uses it: a token describing how the
// application was installed, which the attribution service exchanges for the campaign. Absent by
// default; without it search-ad attribution never starts (it logs that the framework is not
// linked and schedules nothing).

#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Provider.h"

namespace platform {

class AttributionTokenProvider : public Provider<AttributionTokenProvider> {
 public:
  static constexpr const char* kClassName = "AAAttribution";

  // The token, or none with error filled when the platform cannot give one. Called on the SDK's
  // worker queue; it may block for a short while, as the platform's call does.
  virtual std::optional<std::string> attributionTokenWithError(Error* error) = 0;
};

}  // namespace platform
