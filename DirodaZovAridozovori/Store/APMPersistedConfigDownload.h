#pragma once
// What the last configuration download left: the library version that stored it and the server's
// validators, sent back so an unchanged configuration is not downloaded again.

#include "APMPersistedValues.h"

class APMPersistedConfigDownload : public APMPersistedValues {
 public:
  explicit APMPersistedConfigDownload(std::shared_ptr<platform::UserDefaults> store)
      : APMPersistedValues(std::move(store)) {}

  int64_t configDMPVersion() const { return integerValue("config_version").value_or(0); }
  void setConfigDMPVersion(std::optional<int64_t> v) { set("config_version", v); }
  std::optional<std::string> configServerLastModifiedString() const { return stringValue("config_last_modified"); }
  void setConfigServerLastModifiedString(std::optional<std::string> v) { set("config_last_modified", v); }
  std::optional<std::string> configServerETag() const { return stringValue("config_etag"); }
  void setConfigServerETag(std::optional<std::string> v) { set("config_etag", v); }
};
