#pragma once
// Search-ad attribution: once per installation, asks whether the application was installed from a
// search advertisement of the platform's app store. The platform's attribution framework gives a
// token, the attribution service answers for it in JSON, and an attributed install logs the
// campaign event "_cmp". The answer, either way, is kept in the persisted configuration, so the
// question is never asked again; attempts are a day apart and at most ten across processes (every
// attempt counts, whatever its outcome).
//
// Threads: created, switched, started and scheduled on the engine's worker queue, which also runs
// the alarm and the token request; the service's reply hops back to the worker queue before it
// touches the alarm. The stored answer is read and written under the reporter's mutex, so a late
// reply cannot log "_cmp" twice.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "APMAlarm.h"
#include "APMEngineComponent.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Http.h"
#include "platform/Object.h"

class APMPersistedConfig;

// What an attribution reply says.
struct APMSearchAdAttributionReply {
  enum class Kind {
    kFailed,    // a non-2xx status, a body that is not a JSON object, or no attribution answer
    kEmpty,     // an empty object
    kTestData,  // the service's test answer
    kAnswer,    // attributed or not
  };
  Kind kind = Kind::kFailed;
  platform::Error error;  // why it failed
  bool attribution = false;
  std::string campaignID;
  std::string keywordID;
};

// Reads a reply of the attribution service (status: its HTTP status).
APMSearchAdAttributionReply APMSearchAdAttributionReplyFromResponse(long status, const platform::Data& body);

class APMSearchAdReporter final : public std::enable_shared_from_this<APMSearchAdReporter> {
 public:
  static constexpr const char* kAlarmName = "Search Ad campaign report alarm";
  static constexpr int64_t kMaxAttempts = 10;
  static constexpr double kAttemptInterval = 86400;
  static constexpr double kRequestTimeout = 10;
  static constexpr const char* kTestDataMarker = "1234567890";
  static constexpr const char* kAttributionPath = "/api/v1/";

  // Logs an internal event (origin, name, parameters); the front's internal road by default.
  using EventLogger =
      std::function<void(const std::string& origin, const std::string& name, const platform::Dictionary& parameters)>;

  // Deployment values: the attribution service's host ("host" or "host:port") and scheme ("https";
  // a local server may use "http"). The host program sets them before starting the SDK.
  static void setAttributionServiceHost(const std::string& host);
  static std::string attributionServiceHost();
  static void setAttributionServiceScheme(const std::string& scheme);
  static std::string attributionServiceScheme();
  static void resetDeploymentForTesting();

  // nullptr (logged) without a queue or a persisted configuration; nullptr when the answer is
  // known or the attempts are used up.
  static std::shared_ptr<APMSearchAdReporter> initWithWorkerQueue(std::shared_ptr<platform::DispatchQueue> workerQueue,
                                                                  std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                                  EventLogger eventLogger = nullptr);
  ~APMSearchAdReporter();

  // Disabling cancels the pending attempt; enabling again after a start re-arms it.
  void setSearchAdReporterEnabled(bool enabled);
  bool isSearchAdReporterEnabled() const { return searchAdReporterEnabled_.load(); }
  void start();

  void scheduleSearchAdReport();
  void maybeLogIAdCampaignEvent();
  void fetchAttributionDetails();
  void requestAttributionPayloadWithToken(const std::string& token);
  void logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign, const std::string& term);
  // Ends scheduling for the life of this reporter.
  void cancelScheduling();

  // Worker queue: nullptr once scheduling was cancelled.
  const std::shared_ptr<APMAlarm>& searchAdReporterAlarm() const { return alarm_; }

  struct Private {};
  APMSearchAdReporter(Private, std::shared_ptr<platform::DispatchQueue> workerQueue,
                      std::shared_ptr<APMPersistedConfig> persistedConfig, EventLogger eventLogger);

 private:
  void handleAttributionReply(const platform::HttpResult& result);

  const std::shared_ptr<platform::DispatchQueue> workerQueue_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const EventLogger eventLogger_;
  std::shared_ptr<APMAlarm> alarm_;  // worker queue
  bool started_ = false;             // worker queue: start() found the framework
  std::atomic<bool> searchAdReporterEnabled_{false};
  std::mutex campaignMutex_;  // the stored answer
};

// The reporter as one of an engine's components: made at the end of the engine's first start
// (unless the answer is known or the attempts are used up), over the engine's worker queue and
// persisted configuration, then switched on and started; it follows the collection switch.
class APMSearchAdComponent final : public APMEngineComponent {
 public:
  void attachToEngine(const std::shared_ptr<APMEngineContext>& context) override { context_ = context; }
  void startUpDidFinish() override;
  void collectionDidSwitch(bool enabled) override;

  // Worker queue: nullptr before the start-up, or when none was made.
  const std::shared_ptr<APMSearchAdReporter>& reporter() const { return reporter_; }

 private:
  std::shared_ptr<APMEngineContext> context_;
  std::shared_ptr<APMSearchAdReporter> reporter_;
};
