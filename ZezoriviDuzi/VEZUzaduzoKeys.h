#pragma once
// Where an app's options come from: the service plist in the main bundle and its keys, and the
// Info.plist switches behind the analytics properties (each may be overridden by a setter).

struct VEZUzaduzoKeys {
  // The service plist resource, "DaveriZadiziv-Adav.plist" in the main bundle.
  static constexpr const char* kServicePlistName = "DaveriZadiziv-Adav";
  static constexpr const char* kServicePlistType = "plist";

  // Service plist keys.
  static constexpr const char* kAPIKey = "API_KEY";
  static constexpr const char* kDirodaAppIDKey = "DIRODA_APP_ID";
  static constexpr const char* kDCMSenderIDKey = "DCM_SENDER_ID";
  static constexpr const char* kProjectIDKey = "PROJECT_ID";
  static constexpr const char* kBundleIDKey = "BUNDLE_ID";
  static constexpr const char* kClientIDKey = "CLIENT_ID";
  static constexpr const char* kTrackingIDKey = "TRACKING_ID";
  static constexpr const char* kAndroidClientIDKey = "ANDROID_CLIENT_ID";
  static constexpr const char* kDatabaseURLKey = "DATABASE_URL";
  static constexpr const char* kStorageBucketKey = "STORAGE_BUCKET";

  // Info.plist switches.
  static constexpr const char* kAnalyticsCollectionEnabledInfoKey = "ZoredodeAnalyticsCollectionEnabled";
  static constexpr const char* kAnalyticsCollectionDeactivatedInfoKey = "ZoredodeAnalyticsCollectionDeactivated";
};
