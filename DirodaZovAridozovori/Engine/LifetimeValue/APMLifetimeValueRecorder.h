#pragma once
// Keeps, per currency, the running total of what the user spent: the internal user property
// "_ltv_" + the upper-case currency code (origin "auto"), in micro-units. The event road calls it
// for each purchase event inside the event's own savepoint, before the event is written, so a
// refusal (NO) rolls the event back together with everything done for it. A purchase changes its
// total every time: inside the group's transaction the totals are read once and each is written
// once, at commit (APMDatabaseUserProperties::updateUserAttributeAtCommit); what a rolled-back event changed
// goes with it.
//
// It joins each engine as a listed component (APMLifetimeValueComponent), which reads the number
// of tracked currencies from its engine's configuration.
//
// Threads: the worker queue only (it works on the measurement database).

#include <cstdint>
#include <memory>
#include <string>

#include "APMEngineComponent.h"
#include "APMNameTables.h"

class APMDatabase;
class APMEvent;

class APMLifetimeValueRecorder {
 public:
  static constexpr const char* kPropertyPrefix = "_ltv_";
  static constexpr const char* kOrigin = "auto";
  static constexpr const char* kInAppPurchaseEventName = kAPMInAppPurchaseEventName;
  static constexpr const char* kCurrencyParameter = "currency";
  static constexpr const char* kValueParameter = "value";
  static constexpr size_t kCurrencyCodeLength = 3;

  // "_iap" (its value already in micros) and the e-commerce events.
  static bool isPurchaseEvent(const APMEvent& event);
  // "ecommerce_purchase", "purchase" and "refund" (their value in currency units).
  static bool isEcommercePurchaseEvent(const APMEvent& event);

  // YES when nothing needed doing, the input was refused (logged), or the total was updated; NO when
  // a database step failed or an amount or total left the 64-bit range. Keeps at most
  // maxTrackedCurrencies totals, the one set at now among them.
  static bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event,
                                            int64_t maxTrackedCurrencies, double now);
};

// The recorder as one of an engine's components: each purchase event records its lifetime value
// in the event's own scope (a refusal rolls the event back), at the current time, keeping the
// configuration's number of tracked currencies. Worker queue only.
class APMLifetimeValueComponent final : public APMEngineComponent {
 public:
  void attachToEngine(const std::shared_ptr<APMEngineContext>& engine) override { engine_ = engine; }
  bool eventWillBeStored(APMDatabase& database, const APMEvent& event) override;

 private:
  std::shared_ptr<APMEngineContext> engine_;
};
