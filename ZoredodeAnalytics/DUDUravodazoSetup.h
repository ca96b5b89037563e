#pragma once
// Everything a host tells the SDK about itself before it starts: where the SDK keeps its files and
// finds the service plist, who the application is, which services it talks to, and the platform
// services the host supplies. Fill a DUDUravodazoSetup and hand it to DUDUravodazo::setUp before
// ROREzo::configure(); a field left empty keeps what was there (the SDK's default at first).
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AttributionTokenProvider.h"
#include "platform/ConversionService.h"
#include "platform/Object.h"
#include "platform/PrivateSetMembershipClient.h"
#include "platform/StoreProductsProvider.h"

// A service's address: "host" or "host:port", and the scheme ("https"; a local server may use
// "http"). An empty host or scheme keeps the current one.
struct DUDUravodazoServiceEndpoint {
  std::string host;
  std::string scheme;
};

// The application as the SDK reports it. Empty fields keep what the host's Info.plist (or an
// earlier setup) said.
struct DUDUravodazoApplication {
  std::string identifier;    // the bundle identifier, "com.example.myapp"
  std::string shortVersion;  // the marketing version, "1.2.0"
  std::string buildVersion;  // the build number, "120"
};

// The device's advertising identity as the platform tells it to the host.
struct DUDUravodazoAdvertisingIdentity {
  // The advertising identifier as UUID text; empty when the platform gives none.
  std::string identifier;
  // The user allows the application to track them (the platform's tracking authorisation).
  bool trackingAllowed = false;
};

// Asked from the SDK's queues whenever the identity is refreshed, so a changed permission or a
// reset identifier is seen; none while the platform cannot say. It must not wait for the main queue.
using DUDUravodazoAdvertisingIdentityProvider = std::function<std::optional<DUDUravodazoAdvertisingIdentity>()>;

struct DUDUravodazoSetup {
  // Where the SDK keeps its databases and preferences; empty: the user's XDG data directory.
  std::string dataDirectory;
  // Where the service plist ("DaveriZadiziv-Adav.plist") and the other resources are.
  std::string resourceDirectory;
  DUDUravodazoApplication application;
  // Values of the application's Info.plist the SDK reads, such as
  // "DIRODA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED" or the default-consent keys. Added to (and
  // replacing) the entries already there.
  platform::Dictionary infoValues;
  // The process's launch arguments (argv), which switch debug and verbose logging; empty keeps them.
  std::vector<std::string> launchArguments;
  // The store receipt that decides which purchases are valid; none keeps the current one.
  std::optional<std::string> appStoreReceiptPath;
  // The most bytes events logged but not yet stored may hold (4 MiB at first); past it a logging
  // call waits for room rather than drop anything. None keeps the current cap.
  std::optional<size_t> maxWaitingEventBytes;

  // The measurement service ("/a" uploads, "/config/app/" configurations), the ad-services endpoint
  // asked for deferred deep links, and the search-ad attribution service.
  DUDUravodazoServiceEndpoint analyticsService;
  DUDUravodazoServiceEndpoint adServices;
  DUDUravodazoServiceEndpoint attributionService;

  // Platform services the host supplies; each left empty keeps the current one (none at first,
  // where the SDK takes its "not linked" road).
  // The advertising identity: without one, deferred deep links and ad-click identifiers are refused.
  DUDUravodazoAdvertisingIdentityProvider advertisingIdentity;
  // The token search-ad attribution exchanges for the campaign.
  std::shared_ptr<platform::AttributionTokenProvider> attributionToken;
  // The store catalog purchases are priced from.
  std::shared_ptr<platform::StoreProductsProvider> storeProducts;
  // On-device conversion measurement: the conversion service asked after each configuration fetch,
  // and the private-set-membership clients that match the user data.
  std::shared_ptr<platform::ConversionService> conversionService;
  std::shared_ptr<platform::PrivateSetMembershipClientClass> privateSetMembershipClients;
};
