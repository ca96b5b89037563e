#include "APMLifetimeValueRecorder.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "APMDatabase.h"
#include "APMEvent.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Purchase/APMMicroUnits.h"
#include "Purchase/APMPurchaseLog.h"
#include "platform/Clock.h"
#include "platform/Unicode.h"

namespace {

// The default of "measurement.lifetimevalue.max_currency_tracked", for an engine without a
// configuration yet.
constexpr int64_t kDefaultMaxTrackedCurrencies = 4;

bool isEcommerceName(std::string_view name) {
  return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

// The amount the event adds, in micros; none (logged) when it does not fit 64 bits.
std::optional<int64_t> amountOfEvent(const APMEvent& event, const APMValue& value) {
  std::optional<int64_t> amount;
  if (!APMLifetimeValueRecorder::isEcommercePurchaseEvent(event)) {
    // "_iap" carries micros already; a double is cut to its whole number.
    amount = value.isInt64() ? std::optional<int64_t>(value.int64Value())
                             : APMScaledInteger(*APMDecimalNumber::fromDouble(value.doubleValue()), 0,
                                                APMMicroUnitsRounding::TowardZero);
  } else {
    amount = value.isInt64()
                 ? APMMicroUnits(APMDecimalNumber::fromInt64(value.int64Value()), APMMicroUnitsRounding::HalfAwayFromZero)
                 : APMMicroUnitsFromDouble(value.doubleValue(), APMMicroUnitsRounding::HalfAwayFromZero);
    if (amount && event.name() == "refund") amount = APMCheckedMultiply(*amount, -1);
  }
  if (!amount) APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kCannotRecordTransactionValueOutBounds, "Cannot record transaction with value that is out of bounds", value.description());
  return amount;
}

}  // namespace

bool APMLifetimeValueRecorder::isPurchaseEvent(const APMEvent& event) {
  return event.name() == kInAppPurchaseEventName || isEcommerceName(event.name());
}

bool APMLifetimeValueRecorder::isEcommercePurchaseEvent(const APMEvent& event) { return isEcommerceName(event.name()); }

bool APMLifetimeValueComponent::eventWillBeStored(APMDatabase& database, const APMEvent& event) {
  if (!APMLifetimeValueRecorder::isPurchaseEvent(event)) return true;
  auto config = engine_ ? engine_->remoteConfig() : nullptr;
  const int64_t limit = config ? config->eventLimits().maxTrackedCurrencies() : kDefaultMaxTrackedCurrencies;
  return APMLifetimeValueRecorder::recordLifetimeValueToDatabase(database, event, limit, platform::now());
}

bool APMLifetimeValueRecorder::recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event,
                                                             int64_t maxTrackedCurrencies, double now) {
  if (!isPurchaseEvent(event)) return true;
  const APMValue* currency = event.parameter(kCurrencyParameter);
  if (!currency || !currency->isString() || platform::utf16Length(currency->stringValue()) != kCurrencyCodeLength) {
    APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kCannotRecordTransactionInvalidCurrencyCode, "Cannot record transaction with invalid currency code",
                   currency ? currency->object() : platform::Object());
    return true;
  }
  const APMValue* value = event.parameter(kValueParameter);
  // A double that is not finite has no amount at all: refused like a value of the wrong kind.
  if (!value || !(value->isInt64() || (value->isDouble() && APMDecimalNumber::fromDouble(value->doubleValue())))) {
    APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kCannotRecordTransactionInvalidTransactionValue, "Cannot record transaction with invalid transaction value",
                   value ? value->object() : platform::Object());
    return true;
  }
  const std::optional<int64_t> amount = amountOfEvent(event, *value);
  if (!amount) return false;
  const std::string name = std::string(kPropertyPrefix) + platform::toUpper(currency->stringValue());

  platform::Error error;
  auto existing = database.userProperties().allLifetimeValueUserAttributes(&error);
  if (!existing) {
    APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kFailedQueryAllLifetimeValueUser, "Failed to query all Lifetime Value User properties. Error", error);
    return false;
  }
  std::optional<int64_t> total = amount;
  auto same = std::find_if(existing->begin(), existing->end(), [&](const auto& attribute) { return attribute->name() == name; });
  if (same != existing->end()) {
    total = APMCheckedAdd((*same)->value().int64Value(), *amount);
    if (!total) {
      APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kCannotRecordTransactionValueOutBounds, "Cannot record transaction with value that is out of bounds", value->description());
      return false;
    }
  } else if (!existing->empty() && static_cast<int64_t>(existing->size()) >= maxTrackedCurrencies) {
    // The list is newest first: the last one was set longest ago.
    const std::string oldest = existing->back()->name();
    if (!database.userProperties().deleteUserAttributeAtCommit(oldest, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kUnableDeleteLifetimeValueUserProperty, "Unable to delete Lifetime Value User property. Name, error", oldest, error);
      return false;
    }
  }
  APMUserAttribute property(kOrigin, name, APMValue(*total), now);
  error = platform::Error();
  if (!database.userProperties().updateUserAttributeAtCommit(property, &error) && !error.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kUnableUpsertLifetimeValueUserAttribute, "Unable to upsert Lifetime Value User Attribute in database. Name, error", name, error);
    return false;
  }
  APMLog(APMLogLevel::kDebug, APMPurchaseLogCode::kLifetimeValueUpdatedDatabase, "Lifetime value has been updated in database", name, *total);
  return true;
}
