#include "platform/ApplicationNotifications.h"

namespace platform {

namespace {

const Dictionary* dictionaryAt(const Dictionary& dictionary, const char* key) {
  const Object* value = find(dictionary, key);
  return value && value->isDictionary() ? &value->dictionaryValue() : nullptr;
}

std::optional<std::string> stringAt(const Dictionary& dictionary, const char* key) {
  const Object* value = find(dictionary, key);
  if (!value || !value->isString()) return std::nullopt;
  return value->stringValue();
}

}  // namespace

Dictionary LaunchOptions::userInfo() const {
  Dictionary info;
  if (url) info[kApplicationLaunchOptionsURLKey] = Object(*url);
  if (userActivity) {
    Dictionary activity{{kUserActivityTypeKey, Object(userActivity->activityType)},
                        {kUserActivityWebpageURLKey, Object(userActivity->webpageURL)}};
    info[kApplicationLaunchOptionsUserActivityDictionaryKey] =
        Object(Dictionary{{kApplicationLaunchOptionsUserActivityKey, Object(std::move(activity))}});
  }
  return info;
}

LaunchOptions LaunchOptions::fromUserInfo(const Dictionary& userInfo) {
  LaunchOptions options;
  options.url = stringAt(userInfo, kApplicationLaunchOptionsURLKey);
  const Dictionary* holder = dictionaryAt(userInfo, kApplicationLaunchOptionsUserActivityDictionaryKey);
  const Dictionary* activity = holder ? dictionaryAt(*holder, kApplicationLaunchOptionsUserActivityKey) : nullptr;
  if (activity) {
    auto type = stringAt(*activity, kUserActivityTypeKey);
    if (type) options.userActivity = UserActivity{*type, stringAt(*activity, kUserActivityWebpageURLKey).value_or("")};
  }
  return options;
}

}  // namespace platform
