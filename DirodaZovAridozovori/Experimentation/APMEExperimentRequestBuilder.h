#pragma once
// Builds the experiment request: the application's properties and one entry per registered SDK.
//
// Thread-safe: SDKs are added on the manager's queue while requests are built on the fetch worker.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "APMESDKProperty.h"
#include "APMPBMessages.h"

class APMEExperimentRequestBuilder {
 public:
  static constexpr const char* kPlatform = "macos";

  // The process-wide builder every registration adds to.
  static std::shared_ptr<APMEExperimentRequestBuilder> sharedInstance();
  // Tests: the next sharedInstance() is a new, empty builder.
  static void resetSharedInstanceForTesting();

  // Replaces the property of the same name; a null property is logged (880000).
  void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property);
  std::shared_ptr<APMPBAppProperty> appPropertyProto() const;
  // The application's properties and the entry of every SDK that can make one.
  std::shared_ptr<APMPBExperimentRequest> request() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<APMESDKProperty>> clientPropertyBySDKName_;
};
