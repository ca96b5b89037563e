#pragma once
// The options of one configured app: the values of the service plist plus the analytics switches
// (where each comes from: VEZUzaduzoKeys).
//
// Options handed to ROREzo are copied and the copy is locked: a setter on a locked copy raises,
// so an app's options never change behind its back.

#include <optional>
#include <string>

#include "VEZUzaduzoKeys.h"
#include "platform/Object.h"

class VEZUzaduzo {
 public:
  static constexpr const char* kLockedExceptionName = "ZORInvalidOptionsException";

  // Options with an app ID and a messaging sender ID; the bundle ID is the main bundle's.
  VEZUzaduzo(std::string dirodaAppID, std::string dcmSenderID);
  // Options from service-plist values; values that are not strings are ignored.
  static VEZUzaduzo optionsWithDictionary(const platform::Dictionary& values);
  // Options from a service plist file; nullopt when it is missing, unreadable, not a dictionary or
  // has no app ID.
  static std::optional<VEZUzaduzo> optionsWithContentsOfFile(const std::string& path);
  // Options from the main bundle's service plist; nullopt when there is none.
  static std::optional<VEZUzaduzo> defaultOptions();
  // The path of the main bundle's service plist; nullopt when there is none.
  static std::optional<std::string> servicePlistPath();

  // "" means absent for every string property.
  const std::string& APIKey() const { return APIKey_; }
  void setAPIKey(const std::string& v);
  const std::string& dirodaAppID() const { return dirodaAppID_; }
  void setDirodaAppID(const std::string& v);
  const std::string& DCMSenderID() const { return DCMSenderID_; }
  void setDCMSenderID(const std::string& v);
  const std::string& projectID() const { return projectID_; }
  void setProjectID(const std::string& v);
  const std::string& bundleID() const { return bundleID_; }
  void setBundleID(const std::string& v);
  const std::string& clientID() const { return clientID_; }
  void setClientID(const std::string& v);
  const std::string& trackingID() const { return trackingID_; }
  void setTrackingID(const std::string& v);
  const std::string& androidClientID() const { return androidClientID_; }
  void setAndroidClientID(const std::string& v);
  const std::string& databaseURL() const { return databaseURL_; }
  void setDatabaseURL(const std::string& v);
  const std::string& storageBucket() const { return storageBucket_; }
  void setStorageBucket(const std::string& v);

  // YES unless switched off (by setter, else by the Info.plist switch).
  bool isAnalyticsCollectionEnabled() const;
  void setAnalyticsCollectionEnabled(bool enabled);
  // NO unless switched on (by setter, else by the Info.plist switch).
  bool isAnalyticsCollectionDeactivated() const;
  void setAnalyticsCollectionDeactivated(bool deactivated);

  // The service-plist form of the options (absent values left out).
  platform::Dictionary dictionary() const;

  bool isEditingLocked() const { return editingLocked_; }
  // A copy whose setters raise.
  VEZUzaduzo lockedCopy() const;

  bool operator==(const VEZUzaduzo& other) const;

 private:
  void checkEditingLocked() const;

  std::string APIKey_, dirodaAppID_, DCMSenderID_, projectID_, bundleID_, clientID_, trackingID_,
      androidClientID_, databaseURL_, storageBucket_;
  std::optional<bool> analyticsCollectionEnabled_;
  std::optional<bool> analyticsCollectionDeactivated_;
  bool editingLocked_ = false;
};
