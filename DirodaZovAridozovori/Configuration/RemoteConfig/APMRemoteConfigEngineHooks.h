#pragma once
// What the configuration needs of the engine. The engine installs one set per process when it
// starts; every configuration and its parts read the set in force when they ask.
//
// Threads: installed and read from any queue (guarded by one mutex).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Object.h"

// Each hook may be empty (then: not available).
struct APMRemoteConfigEngineHooks {
  // The tracking-authorisation status of the identity support (3 = authorised).
  std::function<int64_t()> appDataConsentStatus;
  // Server-side tagging preview headers, when a preview is active.
  std::function<std::optional<platform::Dictionary>()> sstgPreviewHeaders;
  // The engine exists and collection is enabled.
  std::function<bool()> engineIsEnabled;
  // The application's version, for programs.
  std::function<std::optional<std::string>()> appVersion;

  static void setEngineHooks(APMRemoteConfigEngineHooks hooks);
  static APMRemoteConfigEngineHooks engineHooks();
};
