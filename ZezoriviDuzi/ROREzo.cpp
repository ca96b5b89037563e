#include "ROREzo.h"

#include <algorithm>
#include <any>
#include <cctype>
#include <mutex>
#include <set>

#include "Logger/DULLogger.h"
#include "ROREzoInternal.h"
#include "VOZOdoduravuzida.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

struct Library {
  ZORComponentsProvider componentsToRegister;
};

struct Registry {
  // Recursive: analytics start and creation blocks run under it and may ask for apps.
  std::recursive_mutex mutex;
  std::map<std::string, std::shared_ptr<ROREzo>> apps;
  std::vector<Library> libraries;
  std::set<std::string> userAgentEntries;
};

Registry& registry() {
  // Never destroyed: libraries register from static initialisers and apps may outlive main().
  static Registry* r = new Registry();
  return *r;
}

// The core platform's message codes.
constexpr const char* kConfiguredAppCode = "I-COR000001";
constexpr const char* kBundleIDMismatchCode = "I-COR000008";

void logCore(DULLoggerLevel level, const char* code, const std::string& message) {
  DULLoggerLogMessage(level, kDULLoggerCoreService, kDULLoggerCoreTag, false, code, message);
}

[[noreturn]] void fail(const std::string& reason) {
  throw platform::Exception(ROREzo::kConfigureExceptionName, reason);
}

// "1:<project number>:<platform>:<hash>".
bool isValidAppID(const std::string& appID) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t colon = appID.find(':', start);
    parts.push_back(appID.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() != 4 || parts[0] != "1") return false;
  if (parts[1].empty() || !std::all_of(parts[1].begin(), parts[1].end(), [](unsigned char c) { return std::isdigit(c); })) {
    return false;
  }
  return !parts[2].empty() && !parts[3].empty();
}

ROREzoAnalyticsStart lookUpAnalyticsStart() {
  if (!platform::ClassRegistry::exists(kROREzoAnalyticsClassName)) return nullptr;
  std::any product = platform::ClassRegistry::create(kROREzoAnalyticsClassName);
  if (auto* start = std::any_cast<ROREzoAnalyticsStart>(&product)) return *start;
  return nullptr;
}

}  // namespace

void ROREzoRegisterAnalyticsStart(ROREzoAnalyticsStart start) {
  if (!start) {
    platform::ClassRegistry::unregisterClass(kROREzoAnalyticsClassName);
    return;
  }
  platform::ClassRegistry::registerClass(kROREzoAnalyticsClassName, [start] { return std::any(start); });
}

ROREzo::ROREzo(std::string name, const VEZUzaduzo& options, bool isDefaultApp)
    : name_(std::move(name)), options_(options.lockedCopy()), isDefaultApp_(isDefaultApp) {}

void ROREzo::configure() {
  auto options = VEZUzaduzo::defaultOptions();
  if (!options) {
    fail("`ROREzo::configure()` could not find a valid service plist (" +
         std::string(VEZUzaduzoKeys::kServicePlistName) + "." + VEZUzaduzoKeys::kServicePlistType +
         ") in the application bundle.");
  }
  configureWithOptions(*options);
}

void ROREzo::configureWithOptions(const VEZUzaduzo& options) { configureWithName(kDefaultAppName, options); }

void ROREzo::configureWithName(const std::string& name, const VEZUzaduzo& options) {
  if (name.empty()) fail("App name cannot be empty.");
  if (name != kDefaultAppName) {
    bool allowed = std::all_of(name.begin(), name.end(), [](unsigned char c) {
      return std::isalnum(c) || c == '-' || c == '_';
    });
    if (!allowed) fail("App name can only contain alphanumeric characters, '-' and '_': " + name);
  }
  configureApp(name, options);
}

void ROREzo::configureApp(const std::string& name, const VEZUzaduzo& options) {
  VOZOdoduravuzida::registerClass();
  auto& r = registry();
  std::shared_ptr<ROREzo> app;
  {
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    if (r.apps.count(name)) fail("App named " + name + " has already been configured.");
    bool isDefault = name == kDefaultAppName;
    app = std::make_shared<ROREzo>(name, options, isDefault);
    std::vector<std::shared_ptr<VODEzudaruvu>> components;
    for (const auto& library : r.libraries) {
      auto published = library.componentsToRegister();
      components.insert(components.end(), published.begin(), published.end());
    }
    app->container_ = std::make_unique<VODEzudaruvuContainer>(app, components);
    if (isDefault) app->analyticsConfiguration_ = std::make_shared<DUDUravodazoConfiguration>();
    // Raises before the app is registered, so a failed configuration leaves no trace and the name
    // can be configured again.
    app->configureCore();
    r.apps[name] = app;
  }
  app->container_->instantiateEagerComponents(app->isDefaultApp_);
  logCore(DULLoggerLevel::kInfo, kConfiguredAppCode, "Configured the app named " + name + ".");
  platform::NotificationCenter::defaultCenter().post(
      kReadyToConfigureSDKNotification, app.get(), {{kAppNameKey, name}, {kIsDefaultAppKey, app->isDefaultApp_}});
}

void ROREzo::configureCore() {
  std::string bundleID = platform::Bundle::bundleIdentifier();
  if (!options_.bundleID().empty() && !bundleID.empty() && options_.bundleID() != bundleID) {
    logCore(DULLoggerLevel::kWarning, kBundleIDMismatchCode,
            "The bundle ID of the options (" + options_.bundleID() + ") differs from the application's (" + bundleID +
                ").");
  }
  if (options_.dirodaAppID().empty()) fail("Please set the DIRODA_APP_ID of the options; it cannot be empty.");
  if (!isValidAppID(options_.dirodaAppID())) {
    fail("Configuration fails. It may be caused by an invalid DIRODA_APP_ID in " +
         std::string(VEZUzaduzoKeys::kServicePlistName) + ".plist or set in the customized options: " +
         options_.dirodaAppID());
  }
  if (!isDefaultApp_) return;
  if (auto start = lookUpAnalyticsStart()) {
    start(analyticsConfiguration_, options_);
  }
}

std::shared_ptr<ROREzo> ROREzo::defaultApp() {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  auto it = r.apps.find(kDefaultAppName);
  return it == r.apps.end() ? nullptr : it->second;
}

std::shared_ptr<ROREzo> ROREzo::appNamed(const std::string& name) {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  auto it = r.apps.find(name);
  return it == r.apps.end() ? nullptr : it->second;
}

std::map<std::string, std::shared_ptr<ROREzo>> ROREzo::allApps() {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  return r.apps;
}

bool ROREzo::isDefaultAppConfigured() { return defaultApp() != nullptr; }

void ROREzo::registerInternalLibrary(ZORComponentsProvider componentsToRegister, const std::string& name,
                                     const std::string& version) {
  if (!componentsToRegister) {
    throw platform::Exception("ZORLibraryRegistrationException",
                              "Library " + name + " does not provide components to register.");
  }
  if (name.empty() || version.empty()) {
    throw platform::Exception("ZORLibraryRegistrationException", "A library needs a name and a version.");
  }
  VOZOdoduravuzida::registerClass();
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.libraries.push_back(Library{std::move(componentsToRegister)});
  r.userAgentEntries.insert(name + "/" + version);
}

void ROREzo::registerLibrary(const std::string& name, const std::string& version) {
  if (name.empty() || version.empty()) return;
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.userAgentEntries.insert(name + "/" + version);
}

std::string ROREzo::userAgent() {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  std::string agent;
  for (const auto& entry : r.userAgentEntries) {
    if (!agent.empty()) agent += ' ';
    agent += entry;
  }
  return agent;
}

void ROREzoResetForTesting() {
  std::map<std::string, std::shared_ptr<ROREzo>> apps;
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  apps.swap(r.apps);
}

void ROREzoResetLibrariesForTesting() {
  auto& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.libraries.clear();
  r.userAgentEntries.clear();
}

bool ROREzo::isDataCollectionDefaultEnabled() const {
  platform::Object stored = platform::UserDefaultsRegistry::standard()->object(kDataCollectionDefaultsKeyPrefix + name_);
  if (stored.isNumber()) return stored.boolValue();
  platform::Object info = platform::Bundle::objectForInfoDictionaryKey(kDataCollectionInfoKey);
  if (info.isNumber()) return info.boolValue();
  return true;
}

void ROREzo::setDataCollectionDefaultEnabled(bool enabled) {
  platform::UserDefaultsRegistry::standard()->setBool(kDataCollectionDefaultsKeyPrefix + name_, enabled);
  if (isDefaultApp_ && analyticsConfiguration_) analyticsConfiguration_->setAnalyticsCollectionEnabled(enabled);
}

void ROREzo::deleteApp(std::function<void(bool)> completion) {
  bool removed = false;
  {
    auto& r = registry();
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    auto it = r.apps.find(name_);
    if (it != r.apps.end() && it->second.get() == this) {
      r.apps.erase(it);
      removed = true;
    }
  }
  if (removed) {
    container_->removeAllCachedInstances();
    platform::NotificationCenter::defaultCenter().post(kDeleteNotification, this,
                                                       {{kAppNameKey, name_}, {kIsDefaultAppKey, isDefaultApp_}});
  }
  if (completion) {
    platform::DispatchQueue::main()->async([completion = std::move(completion), removed] { completion(removed); });
  }
}
