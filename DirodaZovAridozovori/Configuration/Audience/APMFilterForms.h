#pragma once
// Plain forms of the audience filter messages: what matching and validation read, with the
// presence of every optional field kept (an absent comparison type and type 0 are different
// refusals). A form is read once from its message and then matched against many values without
// touching the message layer again.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class APMAudienceComparisonValues;
class APMPBNumberFilter;
class APMPBStringFilter;
class APMPBFilter;
class APMPBEventFilter;
class APMPBPropertyFilter;

// Comparison types of a number filter and match types of a string filter, as the configuration
// sends them.
enum APMComparisonType : int32_t {
  kAPMComparisonUnknown = 0,
  kAPMComparisonLessThan = 1,
  kAPMComparisonGreaterThan = 2,
  kAPMComparisonEqual = 3,
  kAPMComparisonBetween = 4,
};

enum APMMatchType : int32_t {
  kAPMMatchUnknown = 0,
  kAPMMatchRegularExpression = 1,
  kAPMMatchBeginsWith = 2,
  kAPMMatchEndsWith = 3,
  kAPMMatchContains = 4,
  kAPMMatchExact = 5,
  kAPMMatchInList = 6,
};

struct APMNumberFilterForm {
  std::optional<int32_t> comparisonType;
  bool matchAsFloat = false;
  std::optional<std::string> comparisonValue;
  std::optional<std::string> minComparisonValue;
  std::optional<std::string> maxComparisonValue;
  // The comparison values as exact decimals, read once by fromMessage when all that the type needs
  // read cleanly: a filter is matched against every event of its name.
  std::shared_ptr<const APMAudienceComparisonValues> decimalValues;

  static APMNumberFilterForm fromMessage(const APMPBNumberFilter& message);
  // Readable text for logs.
  std::string description() const;
};

struct APMStringFilterForm {
  std::optional<int32_t> matchType;
  std::optional<std::string> expression;
  bool caseSensitive = false;
  std::vector<std::string> expressionList;

  static APMStringFilterForm fromMessage(const APMPBStringFilter& message);
  std::string description() const;
};

struct APMFilterForm {
  std::optional<APMStringFilterForm> stringFilter;
  std::optional<APMNumberFilterForm> numberFilter;
  bool complement = false;
  std::optional<std::string> parameterName;

  static APMFilterForm fromMessage(const APMPBFilter& message);
  std::string description() const;
};

struct APMEventFilterForm {
  std::optional<int32_t> filterID;
  std::optional<std::string> eventName;
  std::vector<APMFilterForm> filters;
  std::optional<APMNumberFilterForm> eventCountFilter;
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;

  static APMEventFilterForm fromMessage(const APMPBEventFilter& message);
};

struct APMPropertyFilterForm {
  std::optional<int32_t> filterID;
  std::optional<std::string> propertyName;
  std::optional<APMFilterForm> filter;
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;

  static APMPropertyFilterForm fromMessage(const APMPBPropertyFilter& message);
};
