#include "APMDataTypeValidator.h"

#include <algorithm>
#include <array>
#include <map>

#include "APMEventParameters.h"
#include "APMNameTables.h"
#include "platform/Unicode.h"

namespace {

// Internal user properties whose values may be longer than a public property's.
const std::map<std::string, size_t>& internalUserAttributeValueLimits() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static const auto& kLimits = *new std::map<std::string, size_t>{
      {"_id", 256},
      {"_ffr", 2048},
      {"_lair", 256},
  };
  return kLimits;
}

bool report(int* failureCode, int code) {
  if (failureCode) *failureCode = code;
  return code == kAPMValidationNone;
}

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The bytes a name may hold after its first: ASCII letters, digits and "_" (every event parameter's
// name is checked, so one look-up per byte).
constexpr std::array<bool, 256> kNameBytes = [] {
  std::array<bool, 256> bytes{};
  for (int c = 'a'; c <= 'z'; ++c) bytes[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) bytes[c] = true;
  for (int c = '0'; c <= '9'; ++c) bytes[c] = true;
  bytes['_'] = true;
  return bytes;
}();

bool hasReservedPrefix(const std::string& name) {
  // The prefixes' first bytes rule out nearly every name before a comparison is made.
  static const std::array<bool, 256> kFirstBytes = [] {
    std::array<bool, 256> bytes{};
    for (const std::string& prefix : APMReservedNamePrefixes()) {
      if (!prefix.empty()) bytes[static_cast<unsigned char>(prefix.front())] = true;
    }
    return bytes;
  }();
  if (name.empty() || !kFirstBytes[static_cast<unsigned char>(name.front())]) return false;
  for (const std::string& prefix : APMReservedNamePrefixes()) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

bool isListed(const std::string& name, const std::vector<std::string>& list) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

// The shared shape of every name: present, within the limit, a letter (or "_" for internal names)
// first and then letters, digits and "_" only.
int nameFailure(const std::string& name, size_t limit, bool allowLeadingUnderscore) {
  if (name.empty()) return kAPMValidationEmpty;
  // A UTF-8 text never counts more UTF-16 units than it has bytes: only a longer one is counted.
  if (name.size() > limit && platform::utf16Length(name) > limit) return kAPMValidationTooLong;
  const char first = name[0];
  if (!isAsciiLetter(first) && !(allowLeadingUnderscore && first == '_')) return kAPMValidationInvalidCharacters;
  for (char c : name) {
    if (!kNameBytes[static_cast<unsigned char>(c)]) return kAPMValidationInvalidCharacters;
  }
  return kAPMValidationNone;
}

int stringValueFailure(const APMValue& value, size_t limit) {
  if (value.isArray()) return kAPMValidationUnsupportedType;
  if (value.isString() && platform::utf16Length(value.stringValue()) > limit) return kAPMValidationTooLong;
  return kAPMValidationNone;
}

}  // namespace

bool APMDataTypeValidator::isValidPublicEventName(const std::string& name, int* failureCode) {
  int code = nameFailure(name, kMaxEventNameLength, false);
  if (code == kAPMValidationNone && (isListed(name, APMReservedPublicEventNames()) || hasReservedPrefix(name))) {
    code = kAPMValidationReserved;
  }
  return report(failureCode, code);
}

bool APMDataTypeValidator::isValidInternalEventName(const std::string& name, int* failureCode) {
  return report(failureCode, nameFailure(name, kMaxEventNameLength, true));
}

bool APMDataTypeValidator::isValidPublicEventParameterName(const std::string& name, int* failureCode) {
  int code = nameFailure(name, kMaxEventParameterNameLength, false);
  if (code == kAPMValidationNone && hasReservedPrefix(name)) code = kAPMValidationReserved;
  return report(failureCode, code);
}

bool APMDataTypeValidator::isValidInternalEventParameterName(const std::string& name, int* failureCode) {
  return report(failureCode, nameFailure(name, kMaxEventParameterNameLength, true));
}

bool APMDataTypeValidator::isValidPublicEventParameterValue(const APMValue& value, int* failureCode) {
  const auto limit = static_cast<size_t>(APMCurrentEventParameterLimits().maxPublicEventParameterValueLength);
  return report(failureCode, stringValueFailure(value, limit));
}

bool APMDataTypeValidator::isValidInternalEventParameterValue(const APMValue& value, int* failureCode) {
  const auto limit = static_cast<size_t>(APMCurrentEventParameterLimits().maxInternalEventParameterValueLength());
  return report(failureCode, stringValueFailure(value, limit));
}

bool APMDataTypeValidator::isValidPublicUserAttributeName(const std::string& name, int* failureCode) {
  int code = nameFailure(name, kMaxUserAttributeNameLength, false);
  if (code == kAPMValidationNone &&
      (isListed(name, APMReservedPublicUserPropertyNames()) || hasReservedPrefix(name))) {
    code = kAPMValidationReserved;
  }
  return report(failureCode, code);
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(const std::string& name, int* failureCode) {
  return report(failureCode, nameFailure(name, kMaxUserAttributeNameLength, true));
}

bool APMDataTypeValidator::isValidPublicUserAttributeValue(const APMValue& value, int* failureCode) {
  if (!value.isString()) return report(failureCode, kAPMValidationUnsupportedType);
  if (value.stringValue().empty()) return report(failureCode, kAPMValidationEmpty);
  return report(failureCode, stringValueFailure(value, kMaxPublicUserAttributeValueLength));
}

size_t APMDataTypeValidator::maxInternalUserAttributeValueLength(const std::string& name) {
  const auto& limits = internalUserAttributeValueLimits();
  auto found = limits.find(name);
  return found == limits.end() ? kMaxPublicUserAttributeValueLength : found->second;
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const APMValue& value, const std::string& name,
                                                             int* failureCode) {
  return report(failureCode, stringValueFailure(value, maxInternalUserAttributeValueLength(name)));
}

bool APMDataTypeValidator::isValidForwardedEventOrigin(const std::string& origin, int* failureCode) {
  if (origin.empty()) return report(failureCode, kAPMValidationEmpty);
  const std::string suffix = kForwardedOriginSuffix;
  if (origin.size() <= suffix.size() || origin.compare(origin.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return report(failureCode, kAPMValidationMissingSuffix);
  }
  return report(failureCode, nameFailure(origin.substr(0, origin.size() - suffix.size()), kMaxOriginLength, true));
}

bool APMDataTypeValidator::isValidScreenParameterValue(const platform::Object& value, int* failureCode) {
  if (!value.isString()) return report(failureCode, kAPMValidationUnsupportedType);
  return isValidScreenParameterText(value.stringValue(), failureCode);
}

bool APMDataTypeValidator::isValidScreenParameterText(const std::string& text, int* failureCode) {
  if (text.empty()) return report(failureCode, kAPMValidationEmpty);
  // A screen view is checked on the caller's path, where reading the configured limit costs more
  // than the rest of the call: a name no longer in bytes than the lowest limit passes under any.
  constexpr auto kPassesAnyLimit =
      static_cast<size_t>(APMEventParameterLimits::kLowestPublicEventParameterValueLengthLimit);
  if (text.size() <= kPassesAnyLimit) return report(failureCode, kAPMValidationNone);
  const auto limit = static_cast<size_t>(APMCurrentEventParameterLimits().maxPublicEventParameterValueLength);
  return report(failureCode, platform::utf16Length(text) > limit ? kAPMValidationTooLong : kAPMValidationNone);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(const std::string& origin, int* failureCode) {
  if (origin.empty()) return report(failureCode, kAPMValidationEmpty);
  return report(failureCode, platform::utf16Length(origin) > kMaxOriginLength ? kAPMValidationTooLong
                                                                               : kAPMValidationNone);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(const std::string& name, int* failureCode) {
  return isValidPublicUserAttributeName(name, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(const APMValue& value, int* failureCode) {
  return report(failureCode, stringValueFailure(value, kMaxPublicUserAttributeValueLength));
}
