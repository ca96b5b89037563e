#pragma once
// What the identity asks of the rest of the SDK: the platform support, the consent state and two
// remote settings. standard() wires the real components; tests pass their own answers.

#include <functional>
#include <memory>

#include "APMIdentitySupport.h"

class APMRemoteConfig;

struct APMIdentityEnvironment {
  std::shared_ptr<APMIdentitySupport> support;
  std::function<bool()> isAnalyticsStorageDenied;
  std::function<bool()> isAdStorageDenied;
  // Seconds during which a refresh of the identifiers is not repeated.
  std::function<double()> adIDCacheTime;
  // When on, the advertising identifier is read only while tracking is authorised.
  std::function<bool()> gateIDFAOnATTMASEnabled;

  // The default identity support, the process's consent state and the remote configuration.
  static APMIdentityEnvironment standard();
};

// The remote configuration's "measurement.ad_id_cache_time" in seconds.
double APMIdentityRemoteAdIDCacheTime();
// The remote configuration's "measurement.attmas_gate".
bool APMIdentityRemoteGateIDFAOnATTMASEnabled();

// The configuration the two remote settings are read from. The engine publishes its own once it
// exists; until then (and after nullptr) the settings' defaults answer. Reading takes only the
// configuration's own lock, never the engine's, so an identity refresh cannot deadlock against an
// engine that waits for it.
void APMIdentitySetRemoteConfig(const std::shared_ptr<APMRemoteConfig>& config);
