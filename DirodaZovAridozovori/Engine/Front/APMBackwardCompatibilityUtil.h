#pragma once
// Switches off an older, separately linked collection component when it is present, so the two
// never collect the same events.
#include <memory>

class APMBackwardCompatibilityUtil {
 public:
  // The class looked up by name; its registry factory must produce a
  // std::function<void(bool)> standing for its shared instance's setIsEnabled.
  static constexpr const char* kLegacyClassName = "VIDUruzazezuve";

  // YES when the older component was found and told to stop; NO when it is absent or cannot be.
  static bool disableVIDUruzazezuve();

  // This class is never such a component: no shared instance, and the switch does nothing.
  static std::shared_ptr<APMBackwardCompatibilityUtil> sharedInstance() { return nullptr; }
  void setIsEnabled(bool) {}
};
