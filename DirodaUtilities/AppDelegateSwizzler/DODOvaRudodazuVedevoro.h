#pragma once
// The application-delegate proxy: a registry of interceptors that hear the application's open-URL,
// user-activity and remote-notification callbacks.
//
// There is no run-time subclassing of the host's delegate here: the host's delegate (or the example
// host) forwards those callbacks through the forward* functions, which reach every live interceptor
// once the proxy is installed. Interceptors are held weakly: one that is gone is skipped and
// dropped. Thread-safe (one mutex guards the registry; interceptors run outside it).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Object.h"

// The callbacks an interceptor may implement; each does nothing unless overridden.
class NSApplicationDelegate {
 public:
  virtual ~NSApplicationDelegate() = default;
  virtual void applicationOpenURLs(const std::vector<std::string>& urls) {}
  // activityType such as "NSUserActivityTypeBrowsingWeb"; webpageURL may be "". YES when handled.
  virtual bool applicationContinueUserActivity(const std::string& activityType, const std::string& webpageURL) {
    return false;
  }
  virtual void applicationDidReceiveRemoteNotification(const platform::Dictionary& userInfo) {}
  virtual void applicationDidRegisterForRemoteNotificationsWithDeviceToken(const platform::Data& deviceToken) {}
  virtual void applicationDidFailToRegisterForRemoteNotificationsWithError(const platform::Error& error) {}
};

class DODOvaRudodazuVedevoro {
 public:
  // Info.plist switches; either one set to a false value turns the proxy off.
  static constexpr const char* kUtilitiesProxyEnabledKey = "DirodaUtilitiesAppDelegateProxyEnabled";
  static constexpr const char* kZoredodeProxyEnabledKey = "ZoredodeAppDelegateProxyEnabled";

  // YES unless one of the two Info.plist switches holds a false boolean or number (or "NO").
  static bool isAppDelegateProxyEnabled();

  // Installs the proxy once (later calls do nothing). Does nothing while the proxy is disabled.
  static void proxyOriginalDelegate();
  static bool isProxyInstalled();

  // Registers interceptor (held weakly) and returns its registration identifier; "" for an
  // empty pointer.
  static std::string registerAppDelegateInterceptor(const std::shared_ptr<NSApplicationDelegate>& interceptor);
  static void unregisterAppDelegateInterceptorWithID(const std::string& interceptorID);
  // Number of registered interceptors that are still alive.
  static size_t interceptorCount();

  // Entry points for the host's own delegate. Without an installed proxy they reach nobody.
  static void forwardOpenURLs(const std::vector<std::string>& urls);
  // YES when any interceptor handled the activity (every interceptor is asked).
  static bool forwardContinueUserActivity(const std::string& activityType, const std::string& webpageURL);
  static void forwardDidReceiveRemoteNotification(const platform::Dictionary& userInfo);
  static void forwardDidRegisterForRemoteNotificationsWithDeviceToken(const platform::Data& deviceToken);
  static void forwardDidFailToRegisterForRemoteNotificationsWithError(const platform::Error& error);

  // Forgets the proxy and every interceptor (tests).
  static void resetForTesting();
};
