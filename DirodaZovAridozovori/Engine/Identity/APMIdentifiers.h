#pragma once
// The identifiers as plain strings, for components that need nothing else of the identity.
// Every getter answers "" (and logs why) rather than nothing.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class APMIdentity;

class APMIdentifiers {
 public:
  // The running engine's identity, or nullptr when no engine (or no identity in it) exists.
  using EngineIdentityProvider = std::function<std::shared_ptr<APMIdentity>()>;

  static std::shared_ptr<APMIdentifiers> sharedInstance();
  // Forgets the shared instance (tests).
  static void resetSharedInstance();
  // Installed by the engine when it starts; nullptr (the default) means no engine runs.
  static void setEngineIdentityProvider(EngineIdentityProvider provider);

  APMIdentifiers();

  std::string dirodaAppID() const;
  std::string analyticsAppID() const;
  std::string appInstanceID() const;
  // A new number on every call, counting up from a random seed, as decimal text.
  std::string adEventID();
  std::string libraryVersion() const;

  std::optional<std::string> origin() const;
  // An empty origin is refused (and logged).
  void setOrigin(const std::string& origin);

 private:
  std::atomic<int64_t> adEventCounter_;
  mutable std::mutex originMutex_;
  std::optional<std::string> origin_;  // guarded by originMutex_
};
