#include "APMApplicationIdentity.h"

#include <climits>

#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "APMIdentityLog.h"
#include "platform/Bundle.h"

namespace {

int32_t saturatingInt32(const std::string& digits) {
  int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

}  // namespace

APMApplicationIdentity::APMApplicationIdentity() {
  platform::Object idfv = platform::Bundle::objectForInfoDictionaryKey(kIDFVCollectionEnabledKey);
  if (idfv.isNumber()) {
    idfvCollectionEnabled_ = idfv.boolValue();
    APMLog(APMLogLevel::kDebug, APMIdentityLogCode::kSwitchValue,
           std::string(kIDFVCollectionEnabledKey) + " = " + (*idfvCollectionEnabled_ ? "YES" : "NO"));
  }

  appID_ = platform::Bundle::bundleIdentifier();
  appVersion_ = platform::Bundle::shortVersion();
  std::vector<int32_t> fields = numericFieldsFromAppVersionNumeric(appVersion_);
  if (fields.size() > 0) appVersionMajor_ = fields[0];
  if (fields.size() > 1) appVersionMinor_ = fields[1];
  if (fields.size() > 2) appVersionRelease_ = fields[2];
}

std::vector<int32_t> APMApplicationIdentity::numericFieldsFromAppVersionNumeric(const std::string& version) {
  std::vector<int32_t> fields;
  size_t start = 0;
  while (start <= version.size()) {
    size_t end = version.find('.', start);
    if (end == std::string::npos) end = version.size();
    std::string part = version.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    std::string digits;
    for (char c : part) {
      if (c >= '0' && c <= '9') digits.push_back(c);
    }
    if (digits.size() != part.size())
      APMLog(APMLogLevel::kWarningSampledOnly, APMIdentityLogCode::kAppVersionNumericNonNumericCharacters,
             "app version numeric has non-numeric characters");
    fields.push_back(saturatingInt32(digits));
  }
  return fields;
}

bool APMApplicationIdentity::isFromAppStore() const { return APMAEU::isFAS(); }
