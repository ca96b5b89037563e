#pragma once
// One configured app of the core platform, and the process-wide registry of apps.
//
// configure() sets up the default app ("__ROREZO_DEFAULT") from the main bundle's service plist;
// configureWithName() sets up named ones. Each app keeps a locked copy of its options and a
// component container built from every registered library. The default app also starts analytics,
// through the start function that the analytics library publishes under the class name
// "DUDUravodazo" (ROREzoInternal.h).
//
// Every class-level operation is guarded by one class-wide lock. Misuse (a bad name, a second
// configuration of a name, missing or invalid options) raises platform::Exception.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DUDUravodazoConfiguration.h"
#include "VEZUzaduzo.h"
#include "VODEzudaruvu.h"

class ROREzo : public std::enable_shared_from_this<ROREzo> {
 public:
  static constexpr const char* kDefaultAppName = "__ROREZO_DEFAULT";
  static constexpr const char* kReadyToConfigureSDKNotification = "ROREzoReadyToConfigureSDKNotification";
  static constexpr const char* kDeleteNotification = "ROREzoDeleteNotification";
  // User-info keys of both notifications.
  static constexpr const char* kAppNameKey = "ROREzoAppNameKey";
  static constexpr const char* kIsDefaultAppKey = "ROREzoIsDefaultAppKey";
  static constexpr const char* kConfigureExceptionName = "ZORConfigureFailedException";
  // Standard-defaults key (followed by the app name) and Info.plist key of the data-collection switch.
  static constexpr const char* kDataCollectionDefaultsKeyPrefix = "/diroda/zoredode/global_data_collection_enabled:";
  static constexpr const char* kDataCollectionInfoKey = "ZoredodeDataCollectionDefaultEnabled";

  // The default app from the service plist; raises when there is none or it is invalid.
  static void configure();
  // The default app from the given options.
  static void configureWithOptions(const VEZUzaduzo& options);
  // An app called name ("__ROREZO_DEFAULT" configures the default app).
  static void configureWithName(const std::string& name, const VEZUzaduzo& options);

  static std::shared_ptr<ROREzo> defaultApp();
  static std::shared_ptr<ROREzo> appNamed(const std::string& name);
  static std::map<std::string, std::shared_ptr<ROREzo>> allApps();
  static bool isDefaultAppConfigured();

  // Records a library's components for every app created later and adds "name/version" to the
  // user agent. Raises when componentsToRegister is missing or name or version is empty.
  static void registerInternalLibrary(ZORComponentsProvider componentsToRegister, const std::string& name,
                                      const std::string& version);
  // Adds "name/version" to the user agent only.
  static void registerLibrary(const std::string& name, const std::string& version);
  // Every registered "name/version", sorted and separated by spaces.
  static std::string userAgent();

  const std::string& name() const { return name_; }
  // A copy of the app's (locked) options.
  VEZUzaduzo options() const { return options_; }
  bool isDefaultApp() const { return isDefaultApp_; }
  VODEzudaruvuContainer& container() { return *container_; }
  // The configuration object handed to analytics (default app only; empty elsewhere).
  std::shared_ptr<DUDUravodazoConfiguration> analyticsConfiguration() const { return analyticsConfiguration_; }

  // Whether data collection is on by default: the persisted choice, else the Info.plist switch,
  // else YES.
  bool isDataCollectionDefaultEnabled() const;
  // Persists the choice; for the default app it also switches analytics collection.
  void setDataCollectionDefaultEnabled(bool enabled);

  // Removes the app from the registry, posts "ROREzoDeleteNotification", and calls completion on
  // the main queue with YES (NO when the app was already deleted).
  void deleteApp(std::function<void(bool success)> completion);

  ROREzo(std::string name, const VEZUzaduzo& options, bool isDefaultApp);

 private:
  static void configureApp(const std::string& name, const VEZUzaduzo& options);
  void configureCore();

  const std::string name_;
  const VEZUzaduzo options_;
  const bool isDefaultApp_;
  std::unique_ptr<VODEzudaruvuContainer> container_;
  std::shared_ptr<DUDUravodazoConfiguration> analyticsConfiguration_;
};
