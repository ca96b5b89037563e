#pragma once
// The settings of the downloaded configuration: the texts the server sent under their
// "measurement." keys, each replaced by its validated number the first time a getter reads it,
// so a missing, unparseable or out-of-range server value never reaches the engine. Every part of
// the configuration reads its settings through the typed readers here.
//
// Threads: one mutex guards the cache: a parse on the worker queue rewrites the texts while
// getters on other queues read them, and a read turns a text into its number.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "APMRemoteConfigSettings.h"
#include "platform/Object.h"

class APMSettingsCache {
 public:
  // The core reader: the setting under key, validated against the bounds, the default when
  // absent, unparseable or out of range. The result is cached as a number.
  std::optional<platform::Object> numberFromCache(std::string_view key, const platform::Object& defaultValue,
                                                  const std::optional<platform::Object>& maxValue,
                                                  const std::optional<platform::Object>& minValue,
                                                  const std::function<std::optional<platform::Object>(const platform::Object&)>& block = nullptr);
  double timeIntervalInSeconds(const APMSettingDefinition& setting);
  int32_t intValue(const APMSettingDefinition& setting);
  int64_t int64Value(const APMSettingDefinition& setting);
  int64_t int64Value(const std::string& key, int64_t defaultValue);
  bool boolValue(const APMSettingDefinition& setting);
  // Reads any setting of the table by its reader, as a double (tests, diagnostics).
  double settingValue(const APMSettingDefinition& setting);

  // What programs see of the settings: the texts as configured, or the validated numbers as
  // decimal text once a getter has read them.
  platform::Dictionary settingsForPrograms() const;

  // Moves on with every change below, never with a reading: what was read under one generation is
  // what a reading gives while it lasts, so a reader may keep it until the generation moves.
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

  // A parsed configuration's settings (key → text) replace everything cached.
  void replaceTexts(platform::Dictionary texts);
  // A number that is served as it stands, never compared against the bounds.
  void cacheNumber(const std::string& key, platform::Object number);
  void clear();

 private:
  mutable std::mutex mutex_;
  std::atomic<uint64_t> generation_{0};  // moved on under mutex_, after the change
  // Looked up by the settings' own key texts, without a string made for each reading.
  std::map<std::string, platform::Object, std::less<>> cachedValueByRemoteConfigKeys_;
};
