#pragma once
// What the configuration says of consent and data controls: the default consent modes (global
// and regional), the delegations between consent types, the core platform services, whether the
// app is in a DMA region, and the names of the data controls.
//
// Threads: a parse on the worker queue replaces the values while getters on other queues read
// them; one mutex guards them.

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Object.h"

class APMRemoteConfigConsent {
 public:
  // What one parsed configuration holds; without a consent message the DMA region is unknown.
  struct Values {
    std::vector<std::string> dataControls;
    platform::Dictionary consentDefaults;
    platform::Dictionary consentDelegations;
    platform::Dictionary regionalDefaults;
    std::set<std::string> corePlatformServices;
    std::optional<bool> isDMARegion;
  };

  std::vector<std::string> dataControls() const;
  platform::Dictionary consentDefaults() const;
  platform::Dictionary consentDelegations() const;
  platform::Dictionary regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  bool isDMARegion() const;

  // An unknown DMA region keeps the previous answer.
  void replace(Values values);
  void clear();

 private:
  mutable std::mutex mutex_;
  Values values_;
  bool isDMARegion_ = true;
};
