#include "APMEnvironmentInfo.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>

#include "APMAEU.h"
#include "APMCoreLog.h"
#include "platform/Clock.h"
#include "platform/ProcessInfo.h"

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<APMEnvironmentInfo>& sharedSlot() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static auto& instance = *new std::shared_ptr<APMEnvironmentInfo>;
  return instance;
}

std::string readDeviceModel() {
  errno = 0;
  std::string model = APMAEU::deviceModel();
  if (model.empty()) {
    int error = errno;
    APMLog(APMLogLevel::kErrorSampledOnly, APMCoreLogCode::kNoDeviceModel, "Failed to get device model",
           {std::string(error ? std::strerror(error) : "unknown error")});
  }
  return model;
}

std::string asciiLowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::shared_ptr<APMEnvironmentInfo> APMEnvironmentInfo::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<APMEnvironmentInfo>();
  return sharedSlot();
}

void APMEnvironmentInfo::resetSharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  sharedSlot().reset();
}

APMEnvironmentInfo::APMEnvironmentInfo() : deviceModel_(readDeviceModel()) {}

APMEnvironmentInfo::APMEnvironmentInfo(std::string deviceModel) : deviceModel_(std::move(deviceModel)) {}

std::string APMEnvironmentInfo::deviceOSVersion() const { return APMAEU::systemVersion(); }

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() const {
  std::vector<std::string> languages = platform::ProcessInfo::preferredLanguages();
  if (languages.empty() || languages.front().empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMCoreLogCode::kNoPreferredLanguage, "Failed to get preferred language");
    return std::nullopt;
  }
  return asciiLowercase(languages.front());
}

int32_t APMEnvironmentInfo::timeZoneOffsetMinutes() const {
  // The offset depends on the moment (daylight saving time), so it is taken at the clock's now.
  std::time_t now = static_cast<std::time_t>(std::floor(platform::now()));
  std::tm local{};
  tzset();
  if (!localtime_r(&now, &local)) return 0;
  return static_cast<int32_t>(local.tm_gmtoff / 60);
}
