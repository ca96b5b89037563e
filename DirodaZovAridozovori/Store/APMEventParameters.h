#pragma once
// Cleaning of event parameters and the "_err" error events that report what the SDK refused.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "APMValue.h"
#include "platform/Object.h"

namespace apm_compact {
class Reader;
}

// The limits the sanitiser applies; the remote configuration installs the provider.
struct APMEventParameterLimits {
  // The lowest value length limit a configuration may set: a value this short passes under any.
  static constexpr int64_t kLowestPublicEventParameterValueLengthLimit = 100;

  int64_t maxPublicEventParams = 100;
  int64_t maxPublicEventParameterValueLength = 500;
  int64_t maxItemScopedCustomParameters = 27;
  int64_t maxItemsPerParameter = 200;
  int64_t maxInternalEventParameterValueLength() const {
    return maxPublicEventParameterValueLength > 256 ? maxPublicEventParameterValueLength : 256;
  }
  bool operator==(const APMEventParameterLimits&) const = default;
};
// nullptr restores the defaults above.
void APMSetEventParameterLimitsProvider(std::function<APMEventParameterLimits()> provider);
APMEventParameterLimits APMCurrentEventParameterLimits();

// Codes carried by the "_err" event and parameter.
enum APMErrorEventCode : int64_t {
  kAPMErrorEventInvalidEventName = 2,
  kAPMErrorEventInvalidParameterName = 3,
  kAPMErrorEventParameterValueTooLong = 4,
  kAPMErrorEventTooManyParameters = 5,
  kAPMErrorEventInvalidUserPropertyName = 6,
  kAPMErrorEventUserPropertyValueTooLong = 7,
  kAPMErrorEventEventNameCardinality = 8,
  kAPMErrorEventUserPropertyLimit = 9,
  kAPMErrorEventBlockedEvent = 11,
  kAPMErrorEventUnsupportedParameterValue = 12,
  kAPMErrorEventReservedEventName = 13,
  kAPMErrorEventReservedParameterName = 14,
  kAPMErrorEventReservedUserPropertyName = 15,
  kAPMErrorEventPublicDailyLimit = 16,
  kAPMErrorEventTooManyDefaultParameters = 26,
  kAPMErrorEventArrayDefaultParameter = 27,
};

// The cleaned parameters of an event: names that fail the rules and values of unsupported kinds are
// dropped, strings over the length limit are cut on a character boundary, array values (item lists)
// are kept only when allowItems and cleaned item by item, and custom parameters beyond the limit are
// trimmed. The first problem is recorded as "_err" (code), "_ev" (the parameter name) and, for a
// cut value, "_el" (its length in characters). None when the input is empty.
std::optional<platform::Dictionary> APMSanitizedEventParameters(const platform::Dictionary& parameters,
                                                                const std::string& eventName, bool isPublic,
                                                                bool allowItems);
// The same under the given limits rather than the current ones.
std::optional<platform::Dictionary> APMSanitizedEventParameters(const platform::Dictionary& parameters,
                                                                const std::string& eventName, bool isPublic,
                                                                bool allowItems,
                                                                const APMEventParameterLimits& limits);

// The cleaning of APMSanitizedEventParameters fed one parameter at a time, in ascending name order
// (as a dictionary holds them), straight into an event's parameters: no host dictionary is built
// on the way.
class APMEventParameterCleaner {
 public:
  // The first problem found while cleaning; later ones are not recorded.
  struct Problem {
    int64_t code = 0;
    std::string parameterName;
    std::optional<int64_t> length;
    void note(int64_t newCode, const std::string& name, std::optional<int64_t> newLength = std::nullopt);
  };

  APMEventParameterCleaner(std::string eventName, bool isPublic, bool allowItems, const APMEventParameterLimits& limits);
  void add(const std::string& name, const platform::Object& value);
  // The same for the value that the reader reads next, its name given in place (the compact form).
  void add(std::string_view name, apm_compact::Reader& value);
  // Room for this many parameters and the few the road adds later (screen parameters, flags),
  // so that the event's parameters are allocated once.
  void reserve(size_t count) { parameters_.reserve(count + kRoomForAddedParameters); }
  APMParameters finish();
  static constexpr size_t kRoomForAddedParameters = 3;

  // The same cleaning into a host dictionary or an event's parameters (the two Maps there are).
  template <typename Map>
  void addTo(Map& cleaned, const std::string& name, const platform::Object& value);
  template <typename Map>
  void finishInto(Map& cleaned);

 private:
  std::string eventName_;
  bool isPublic_;
  bool allowItems_;
  APMEventParameterLimits limits_;
  size_t valueLengthLimit_;
  Problem problem_;
  APMParameters parameters_;
};

// The deepest value an event stores is a list of items, each a dictionary of scalars: two
// containers. Anything nested deeper is refused as an unsupported value.
inline constexpr int kAPMMaxParameterContainerNesting = 2;

// The parameters with every container nested deeper than kAPMMaxParameterContainerNesting made
// null, which the road refuses as an unsupported value. Walks no deeper than that, so a host value
// nested thousands of levels is neither walked nor kept (its release alone recurses as deep).
platform::Dictionary APMParametersWithinStorableNesting(const platform::Dictionary& parameters);

// Removes custom names (not beginning with "_") from the end of the sorted name list until at most
// limit remain; the number removed.
size_t APMTrimCustomParametersToLimit(platform::Dictionary& parameters, size_t limit);

// Where "_err" events go: the engine front installs its internal-event logger here.
using APMInternalEventLogger =
    std::function<void(const std::string& origin, const std::string& name, const platform::Dictionary& parameters)>;
void APMSetInternalEventLogger(APMInternalEventLogger logger);

// Logs "_err" (origin "auto") with "_err" = code; code 0 logs nothing.
void APMLogErrorEvent(int64_t errorCode);
// Also adds, when the value is a string longer than the limit or the code is 4 or 7, "_ev" (the
// value cut to the limit, "..." appended when cut) and "_el" (its length in characters).
void APMLogErrorEventForName(int64_t errorCode, const std::string& name, size_t limit, const platform::Object& value);
