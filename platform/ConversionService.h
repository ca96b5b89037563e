#pragma once
// The conversion service of on-device conversion measurement: a component outside the SDK that
// the engine asks, after each configuration fetch, for the measurement information it holds.
// Absent by default; then the feature is off and the engine logs that the service is not linked.
// A class registered without a usable implementation counts as linked but incompatible.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Object.h"
#include "platform/Provider.h"

namespace platform {

class ConversionService : public Provider<ConversionService> {
 public:
  static constexpr const char* kClassName = "ODCConversionService";

  // The information as text (none or empty when there is none), or an error.
  using Completion = std::function<void(std::optional<std::string> value, std::optional<Error> error)>;

  // When the application was first opened, or none when that is not known.
  virtual void setFirstLaunchTime(std::optional<Date> firstLaunchTime) = 0;
  // Completion runs exactly once, on any thread (the engine moves it to its worker queue).
  virtual void fetchMeasurementInfoForInteraction(int64_t interaction, Completion completion) = 0;
  virtual std::string versionString() const = 0;
  virtual int64_t versionNumber() const = 0;
};

}  // namespace platform
