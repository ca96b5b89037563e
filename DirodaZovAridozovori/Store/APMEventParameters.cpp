#include "APMEventParameters.h"

#include <mutex>
#include <vector>

#include "APMCompactParameters.h"
#include "APMDataTypeValidator.h"
#include "APMValue.h"
#include "platform/Unicode.h"

namespace {

// Created on first use: other libraries install their hooks while they load.
struct Hooks {
  std::mutex mutex;
  std::function<APMEventParameterLimits()> limitsProvider;
  APMInternalEventLogger internalEventLogger;
};

Hooks& hooks() {
  static Hooks* installed = new Hooks();  // lives for the whole process
  return *installed;
}

using Problem = APMEventParameterCleaner::Problem;

// An offending name or value as an error event carries it: cut to the limit on a character
// boundary, "..." only when something was cut, and malformed UTF-8 repaired, so neither a huge
// nor a broken text travels in the upload.
std::string errorValueText(const std::string& text, size_t limit) {
  std::string cut = platform::truncateToCharacters(text, limit);
  if (platform::utf32Length(text) > limit) cut += "...";
  return cut;
}

int64_t nameProblemCode(int failure) {
  return failure == kAPMValidationReserved ? kAPMErrorEventReservedParameterName : kAPMErrorEventInvalidParameterName;
}

bool validName(const std::string& name, bool isPublic, int* failure) {
  return isPublic ? APMDataTypeValidator::isValidPublicEventParameterName(name, failure)
                  : APMDataTypeValidator::isValidInternalEventParameterName(name, failure);
}

// A scalar parameter value cleaned, or none when its kind is not taken.
std::optional<platform::Object> cleanScalar(const std::string& name, const platform::Object& value, size_t limit,
                                            Problem& problem) {
  switch (value.kind()) {
    case platform::Object::Kind::Bool:
      return platform::Object(value.integerValue());
    case platform::Object::Kind::Integer:
    case platform::Object::Kind::Double:
      return value;
    case platform::Object::Kind::String: {
      const std::string& text = value.stringValue();
      // A UTF-8 text never counts more UTF-16 units than it has bytes: a short one is not counted.
      if (text.size() <= limit || platform::utf16Length(text) <= limit) return value;
      // Cut by characters so the stored text stays valid UTF-8 and within the UTF-16 limit.
      std::u16string units = platform::truncateToUtf16Units(platform::utf8ToUtf16(text), limit);
      problem.note(kAPMErrorEventParameterValueTooLong, name, static_cast<int64_t>(platform::utf32Length(text)));
      return platform::Object(platform::utf16ToUtf8(units));
    }
    default:
      problem.note(kAPMErrorEventUnsupportedParameterValue, name);
      return std::nullopt;
  }
}

platform::Object cleanItems(const std::string& name, const platform::Array& items, bool isPublic,
                                           size_t limit, const APMEventParameterLimits& limits, Problem& problem) {
  platform::Array cleaned;
  for (const platform::Object& item : items) {
    if (static_cast<int64_t>(cleaned.size()) >= limits.maxItemsPerParameter) {
      problem.note(kAPMErrorEventTooManyParameters, name);
      break;
    }
    const platform::Dictionary* entry = item.asDictionary();
    if (!entry) {
      problem.note(kAPMErrorEventUnsupportedParameterValue, name);
      continue;
    }
    platform::Dictionary cleanedEntry;
    for (const auto& [itemName, itemValue] : *entry) {
      int failure = 0;
      if (!validName(itemName, isPublic, &failure)) {
        problem.note(nameProblemCode(failure), itemName);
        continue;
      }
      if (auto value = cleanScalar(itemName, itemValue, limit, problem)) cleanedEntry.emplace(itemName, *value);
    }
    if (APMTrimCustomParametersToLimit(cleanedEntry, static_cast<size_t>(limits.maxItemScopedCustomParameters)) > 0) {
      problem.note(kAPMErrorEventTooManyParameters, name);
    }
    cleaned.emplace_back(std::move(cleanedEntry));
  }
  return platform::Object(std::move(cleaned));
}

}  // namespace

void APMSetEventParameterLimitsProvider(std::function<APMEventParameterLimits()> provider) {
  std::lock_guard<std::mutex> lock(hooks().mutex);
  hooks().limitsProvider = std::move(provider);
}

APMEventParameterLimits APMCurrentEventParameterLimits() {
  std::function<APMEventParameterLimits()> provider;
  {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    provider = hooks().limitsProvider;
  }
  return provider ? provider() : APMEventParameterLimits{};
}

std::optional<platform::Dictionary> APMSanitizedEventParameters(const platform::Dictionary& parameters,
                                                                const std::string& eventName, bool isPublic,
                                                                bool allowItems) {
  if (parameters.empty()) return std::nullopt;
  return APMSanitizedEventParameters(parameters, eventName, isPublic, allowItems, APMCurrentEventParameterLimits());
}

namespace {

// Cleaned values go into a host dictionary as they are, into an event's parameters converted.
void put(platform::Dictionary& cleaned, const std::string& name, platform::Object value) {
  cleaned.insert_or_assign(name, std::move(value));
}

void put(APMParameters& cleaned, const std::string& name, platform::Object value) {
  if (auto converted = APMValue::valueFromParameterObject(value)) cleaned.insert_or_assign(name, std::move(*converted));
}

// Removes custom names (not beginning with "_") from the end of the name order until at most limit
// remain; the number removed.
template <typename Map>
size_t trimCustomParameters(Map& parameters, size_t limit) {
  size_t count = 0;
  for (const auto& entry : parameters) count += entry.first.empty() || entry.first[0] != '_' ? 1 : 0;
  if (count <= limit) return 0;  // the common case: nothing to list
  std::vector<std::string> custom;
  for (const auto& [name, value] : parameters) {
    if (name.empty() || name[0] != '_') custom.push_back(name);  // the map is sorted already
  }
  size_t removed = 0;
  while (custom.size() > limit) {
    parameters.erase(custom.back());
    custom.pop_back();
    ++removed;
  }
  return removed;
}

}  // namespace

void APMEventParameterCleaner::Problem::note(int64_t newCode, const std::string& name, std::optional<int64_t> newLength) {
  if (code != 0) return;
  code = newCode;
  parameterName = name;
  length = newLength;
}

APMEventParameterCleaner::APMEventParameterCleaner(std::string eventName, bool isPublic, bool allowItems,
                                                   const APMEventParameterLimits& limits)
    : eventName_(std::move(eventName)),
      isPublic_(isPublic),
      allowItems_(allowItems),
      limits_(limits),
      valueLengthLimit_(static_cast<size_t>(isPublic ? limits.maxPublicEventParameterValueLength
                                                     : limits.maxInternalEventParameterValueLength())) {}

template <typename Map>
void APMEventParameterCleaner::addTo(Map& cleaned, const std::string& name, const platform::Object& value) {
  int failure = 0;
  if (!validName(name, isPublic_, &failure)) {
    problem_.note(nameProblemCode(failure), name);
    return;
  }
  if (const platform::Array* items = value.asArray()) {
    if (!allowItems_) {
      problem_.note(kAPMErrorEventUnsupportedParameterValue, name);
      return;
    }
    put(cleaned, name, cleanItems(name, *items, isPublic_, valueLengthLimit_, limits_, problem_));
    return;
  }
  if (auto cleanedValue = cleanScalar(name, value, valueLengthLimit_, problem_)) put(cleaned, name, std::move(*cleanedValue));
}

template <typename Map>
void APMEventParameterCleaner::finishInto(Map& cleaned) {
  if (trimCustomParameters(cleaned, static_cast<size_t>(limits_.maxPublicEventParams)) > 0) {
    problem_.note(kAPMErrorEventTooManyParameters, eventName_);
  }
  if (problem_.code == 0) return;
  put(cleaned, "_err", platform::Object(problem_.code));
  put(cleaned, "_ev",
      platform::Object(errorValueText(problem_.parameterName, APMDataTypeValidator::kMaxEventParameterNameLength)));
  if (problem_.length) put(cleaned, "_el", platform::Object(*problem_.length));
}

template void APMEventParameterCleaner::addTo(platform::Dictionary&, const std::string&, const platform::Object&);
template void APMEventParameterCleaner::addTo(APMParameters&, const std::string&, const platform::Object&);
template void APMEventParameterCleaner::finishInto(platform::Dictionary&);
template void APMEventParameterCleaner::finishInto(APMParameters&);

void APMEventParameterCleaner::add(const std::string& name, const platform::Object& value) {
  addTo(parameters_, name, value);
}

void APMEventParameterCleaner::add(std::string_view name, apm_compact::Reader& value) {
  apm_compact::Scalar scalar;
  if (!value.scalar(scalar)) return add(std::string(name), value.object());  // item lists and refused kinds
  std::string key(name);
  int failure = 0;
  if (!validName(key, isPublic_, &failure)) return problem_.note(nameProblemCode(failure), key);
  // Entries come in name order, so each new one belongs at the end.
  switch (scalar.kind) {
    case apm_compact::Scalar::Kind::Null:
      return problem_.note(kAPMErrorEventUnsupportedParameterValue, key);
    case apm_compact::Scalar::Kind::Integer:
      parameters_.insert_or_assign(parameters_.end(), std::move(key), APMValue(scalar.integer));
      return;
    case apm_compact::Scalar::Kind::Double:
      parameters_.insert_or_assign(parameters_.end(), std::move(key), APMValue(scalar.number));
      return;
    case apm_compact::Scalar::Kind::Text:
      // Counted by cleanScalar when longer in bytes than the limit (see there).
      if (scalar.text.size() > valueLengthLimit_) {
        return addTo(parameters_, key, platform::Object(std::string(scalar.text)));
      }
      parameters_.insert_or_assign(parameters_.end(), std::move(key), APMValue(std::string(scalar.text)));
      return;
  }
}

APMParameters APMEventParameterCleaner::finish() {
  finishInto(parameters_);
  return std::move(parameters_);
}

std::optional<platform::Dictionary> APMSanitizedEventParameters(const platform::Dictionary& parameters,
                                                                const std::string& eventName, bool isPublic,
                                                                bool allowItems,
                                                                const APMEventParameterLimits& limits) {
  if (parameters.empty()) return std::nullopt;
  APMEventParameterCleaner cleaner(eventName, isPublic, allowItems, limits);
  platform::Dictionary cleaned;
  for (const auto& [name, value] : parameters) cleaner.addTo(cleaned, name, value);
  cleaner.finishInto(cleaned);
  return cleaned;
}

namespace {

platform::Object withinStorableNesting(const platform::Object& value, int enclosing) {
  const platform::Array* array = value.asArray();
  const platform::Dictionary* dictionary = value.asDictionary();
  if (!array && !dictionary) return value;
  if (enclosing >= kAPMMaxParameterContainerNesting) return platform::Object();
  if (dictionary) {
    platform::Dictionary copy;
    for (const auto& [key, item] : *dictionary) copy.emplace_hint(copy.end(), key, withinStorableNesting(item, enclosing + 1));
    return platform::Object(std::move(copy));
  }
  platform::Array copy;
  copy.reserve(array->size());
  for (const auto& item : *array) copy.push_back(withinStorableNesting(item, enclosing + 1));
  return platform::Object(std::move(copy));
}

}  // namespace

platform::Dictionary APMParametersWithinStorableNesting(const platform::Dictionary& parameters) {
  platform::Dictionary result;
  for (const auto& [name, value] : parameters) result.emplace_hint(result.end(), name, withinStorableNesting(value, 0));
  return result;
}

size_t APMTrimCustomParametersToLimit(platform::Dictionary& parameters, size_t limit) {
  return trimCustomParameters(parameters, limit);
}

void APMSetInternalEventLogger(APMInternalEventLogger logger) {
  std::lock_guard<std::mutex> lock(hooks().mutex);
  hooks().internalEventLogger = std::move(logger);
}

namespace {
void logInternalErrorEvent(const platform::Dictionary& parameters) {
  APMInternalEventLogger logger;
  {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    logger = hooks().internalEventLogger;
  }
  if (logger) logger("auto", "_err", parameters);
}
}  // namespace

void APMLogErrorEvent(int64_t errorCode) {
  if (errorCode == 0) return;
  logInternalErrorEvent({{"_err", platform::Object(errorCode)}});
}

void APMLogErrorEventForName(int64_t errorCode, const std::string& name, size_t limit, const platform::Object& value) {
  if (errorCode == 0) return;
  platform::Dictionary parameters{{"_err", platform::Object(errorCode)}};
  if (const std::string* text = value.asString()) {
    const size_t length = platform::utf32Length(*text);
    if (length > limit || errorCode == kAPMErrorEventParameterValueTooLong ||
        errorCode == kAPMErrorEventUserPropertyValueTooLong) {
      parameters["_ev"] = platform::Object(errorValueText(*text, limit));
      parameters["_el"] = platform::Object(static_cast<int64_t>(length));
    }
  }
  logInternalErrorEvent(parameters);
}
