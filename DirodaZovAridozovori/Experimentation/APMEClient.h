#pragma once
// What an SDK holds after registering with the experiment manager: it asks the client for flag
// values, activates the newest fetched snapshot when it is ready to, and hears through its
// delegate about new snapshots and fetch errors.
//
// Thread-safe: the delegate is guarded; everything else is fixed at creation.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMESDKProperty.h"
#include "APMPBMessages.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Object.h"

class APMEClient;
class APMEManager;

// The SDK's side of its client. Every member is optional: an empty one is not implemented.
struct APMEClientDelegate {
  // A new snapshot waits for activateLatestSnapshot. A delegate with this member keeps its
  // pending snapshots from being activated automatically at the next start.
  std::function<void(APMEClient& client)> clientDidReceiveNewSnapshot;
  std::function<void(APMEClient& client, const platform::Error& error)> clientDidReceiveFetchError;
  // Whether the fetch that is due may run (absent: yes).
  std::function<bool(APMEClient& client)> shouldFetchExperimentsForClient;
  // Where new-snapshot notices are delivered; the main queue when absent.
  std::shared_ptr<platform::DispatchQueue> queue;
};

class APMEClient {
 public:
  // initWithSDKProperty:defaultFlags:withManager: nullptr (logged) without a property or flags.
  static std::shared_ptr<APMEClient> create(std::shared_ptr<APMESDKProperty> property,
                                            std::optional<std::vector<std::shared_ptr<APMPBFlag>>> defaultFlags,
                                            std::weak_ptr<APMEManager> manager);

  // The flag's value from the activated snapshot, else the launched one, else the default.
  std::optional<platform::Object> valueForFlag(const std::string& flagName) const;
  // The same lookup for a key of any kind (only strings name flags).
  std::optional<platform::Object> objectForKeyedSubscript(const platform::Object& key) const;
  // Activates the newest fetched snapshot of this SDK; false (with *error) when there is none.
  bool activateLatestSnapshot(platform::Error* error) const;
  // The activated snapshot is more than 3 days old.
  bool hasStaleSnapshot() const;
  void resetToDefaults() const;

  std::string SDKName() const { return SDKProperty_->name(); }
  const std::vector<std::shared_ptr<APMPBFlag>>& defaultFlags() const { return defaultFlags_; }
  const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return SDKProperty_; }
  std::shared_ptr<APMEClientDelegate> delegate() const;
  // Held weakly.
  void setDelegate(std::weak_ptr<APMEClientDelegate> delegate);

  APMEClient(std::shared_ptr<APMESDKProperty> property, std::vector<std::shared_ptr<APMPBFlag>> defaultFlags,
             std::weak_ptr<APMEManager> manager)
      : SDKProperty_(std::move(property)), defaultFlags_(std::move(defaultFlags)), manager_(std::move(manager)) {}

 private:
  std::shared_ptr<APMESDKProperty> SDKProperty_;
  std::vector<std::shared_ptr<APMPBFlag>> defaultFlags_;
  std::weak_ptr<APMEManager> manager_;
  mutable std::mutex delegateMutex_;
  std::weak_ptr<APMEClientDelegate> delegate_;  // guarded by delegateMutex_
};
