#pragma once
// What an SDK tells the experiment service about itself: its name and version, its app ID, the
// key that diverts its users into experiment arms, and custom properties (static ones, and ones
// its delegate computes at each request).
//
// Thread-safe: the experiment request is built on the fetch worker while the SDK may change its
// properties; every field is guarded by one mutex.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "APMPBMessages.h"

class APMESDKProperty;

// An SDK's source of custom properties that change between requests.
class APMESDKPropertyDelegate {
 public:
  virtual ~APMESDKPropertyDelegate() = default;
  // Merged over the static custom properties; nothing when the delegate has none to add.
  virtual std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) = 0;
};

class APMESDKProperty {
 public:
  // The diversion key used by properties that carry none of their own (the measurement identity's
  // persisted key). Process-wide; the engine installs it, and without it such properties make no
  // request entry.
  static void setDefaultDiversionKeyProvider(std::function<std::string()> provider);

  // initWithName:
  explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}

  std::string name() const;
  int64_t version() const;
  void setVersion(int64_t version);
  std::optional<std::string> appID() const;
  void setAppID(std::optional<std::string> appID);
  std::optional<std::string> diversionKey() const;
  void setDiversionKey(std::optional<std::string> diversionKey);
  std::map<std::string, std::string> customProperties() const;
  void setCustomProperties(std::map<std::string, std::string> customProperties);
  std::shared_ptr<APMESDKPropertyDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMESDKPropertyDelegate> delegate);

  // The request entry of this SDK; nullptr (logged, 860001) when no diversion key is known.
  std::shared_ptr<APMPBClientProperty> proto() const;

 private:
  mutable std::mutex mutex_;
  std::string name_;
  int64_t version_ = 0;
  std::optional<std::string> appID_;
  std::optional<std::string> diversionKey_;
  std::map<std::string, std::string> customProperties_;
  std::weak_ptr<APMESDKPropertyDelegate> delegate_;
};
