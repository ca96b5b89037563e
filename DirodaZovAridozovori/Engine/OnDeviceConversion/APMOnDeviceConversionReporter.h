#pragma once
// On-device conversion measurement: asks components outside the SDK whether the user matches
// conversion data, and keeps a match as an internal user property, an "odm_values" row (which
// travels in every later bundle) and one "_fx" event.
//
// Two mechanisms, each found by class name at run time and absent by default:
// - the private-set-membership client (ODM1): from the e-mail address or phone number the host
//   hands in (plain or hashed; passed on exactly as given) the client builds a query, the engine
//   posts it, and the client reads the answer into a match value: "odm1_value" and "_psmvalue".
//   Each answered query raises its input kind's counter property. Failed queries are retried
//   with doubling delays up to the configured count.
// - the conversion service (ODM2): asked after every successful configuration fetch; its answer
//   is kept as "odm2_value" and "_psmvalue_zads", an empty answer removes both.
//
// What a match leaves behind is APMOnDeviceConversionRecords; which components are linked,
// APMOnDeviceConversionLinks. One reporter serves one engine, as one of its components, and holds its per-process state (the
// query context, the cached conversion service).
//
// Threads: everything runs on the engine's worker queue. The network's and the conversion
// service's completions are brought back to it; they and the retry alarm hold the reporter and
// the engine weakly.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "APMEngineComponent.h"
#include "APMOnDeviceConversionLinks.h"
#include "APMOnDeviceConversionRecords.h"
#include "APMPSMContext.h"
#include "APMValue.h"
#include "platform/Error.h"
#include "platform/Object.h"
#include "platform/PrivateSetMembershipClient.h"
#include "platform/URL.h"

class APMOnDeviceConversionReporter final : public APMEngineComponent,
                                            public std::enable_shared_from_this<APMOnDeviceConversionReporter> {
 public:
  // Keys of the user data handed in through the public API, in the order they are tried.
  static constexpr const char* kEmailAddressKey = "email_address";
  static constexpr const char* kPhoneNumberKey = "phone_number";
  static constexpr const char* kHashedEmailAddressKey = "hashed_email_address";
  static constexpr const char* kHashedPhoneNumberKey = "hashed_phone_number";
  // The launch argument that lets a debug key travel with the query.
  static constexpr const char* kDebugArgument = "-DebugOnDeviceConversionMeasurement";
  // What a misconfigured host is told it raised.
  static constexpr const char* kDeprecatedFrameworkExceptionName = "MeasurementDeprecatedOnDeviceConversionException";

  // ---- The engine's moments.
  void attachToEngine(const std::shared_ptr<APMEngineContext>& engine) override { engine_ = engine; }
  // The dependency checks and the expiry of stored values.
  void startUpDidLoadConfiguration() override;
  void setUserData(const platform::Dictionary& userData) override { initiateODM1ProtocolWithUserData(userData); }
  // The conversion service is asked again; a postponed query goes out once the network is free.
  bool configurationFetchDidSucceed() override;
  void willWipeData() override { resetODM1Context(); }
  // A postponed query goes out now.
  void uploadRoadDidFindNothingToSend() override;
  // The linked clients' bits of the linked-client flags.
  void addMetadataFields(APMPBMeasurementBundle& metadata) override;

  // ---- Start-up, in this order, after the consent settings are updated (worker queue).
  void checkPSMDependencyOnWorkerQueue();
  void checkODM2DependencyOnWorkerQueue();
  void maybeDeleteExpiredPSMValueOnWorkerQueue();

  // ---- ODM1 (worker queue).
  void initiateODM1ProtocolWithUserData(const platform::Dictionary& userData);
  bool shouldRetrievePSMResponse();
  std::optional<platform::URL> PSMRequestURL();
  void retrievePSMResponse();
  void maybeSchedulePSMRetry();
  void handlePSMValueOnWorkerQueue(const std::string& value);
  // A wipe: a fresh context (none without a client class); a query still on the network is
  // forgotten when it answers.
  void resetODM1Context();
  // Takes (and clears) a postponed query; true when there was one.
  bool takePostponedPSMRequest();
  // A postponed query waits for a free network: tried again once the blocks queued now have run.
  void resumePostponedPSMRequestWhenNetworkIsFree();

  // ---- ODM2 (worker queue).
  bool isAdsOnDeviceConversionEnabled();
  void updateAdsOnDeviceConversionMeasurement();
  void handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                        const std::optional<platform::Error>& error);
  // The persisted first-open time, or none while it is unknown.
  std::optional<platform::Date> firstLaunchDate() const;

  const std::shared_ptr<APMPSMContext>& ODM1Context() const { return context_; }
  // Whether the first protocol was refused for this run (see checkODM2DependencyOnWorkerQueue).
  bool isODM1Refused() const { return odm1Refused_; }

 private:
  struct IdentifierAttempt;
  bool tryInitiate(APMEngineContext& engine, const IdentifierAttempt& attempt, const platform::Dictionary& userData);
  bool passesKindCheck(const IdentifierAttempt& attempt, const platform::Object& value,
                       const platform::PrivateSetMembershipClientClass* clientClass);
  void handlePSMResponse(const std::shared_ptr<APMPSMContext>& context,
                         const std::shared_ptr<platform::PrivateSetMembershipClient>& client, int64_t statusCode,
                         const platform::Data& body, const std::optional<platform::Error>& error);
  void handleEmptyODM2Value(APMEngineContext& engine);
  std::shared_ptr<APMEngineContext> engineOnWorkerQueue(const char* methodName) const;

  std::shared_ptr<APMEngineContext> engine_;
  std::shared_ptr<APMPSMContext> context_;
  std::shared_ptr<platform::ConversionService> conversionService_;
  bool odm1Refused_ = false;
};
