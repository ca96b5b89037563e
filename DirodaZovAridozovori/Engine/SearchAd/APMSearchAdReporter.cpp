#include "APMSearchAdReporter.h"

#include <cmath>
#include <utility>

#include "APMError.h"
#include "APMMonitor.h"
#include "APMPersistedConfig.h"
#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "DirodaZovAridozovori/Core/Utilities/APMServiceEndpoint.h"
#include "DirodaZovAridozovori/Engine/SearchAd/APMSearchAdLog.h"
#include "Front/APMAnalytics.h"
#include "platform/AttributionTokenProvider.h"
#include "platform/Clock.h"
#include "platform/Http.h"
#include "platform/JSON.h"

namespace {


APMServiceEndpoint& attributionService() {
  static APMServiceEndpoint* endpoint = new APMServiceEndpoint("attribution.service.invalid");
  return *endpoint;
}

// The platform's attribution framework, when the host provides it.
std::shared_ptr<platform::AttributionTokenProvider> adClientInstance() {
  return platform::AttributionTokenProvider::lookUp();
}

APMSearchAdAttributionReply failedReply(std::string description) {
  APMSearchAdAttributionReply reply;
  reply.error = platform::Error{kAPMErrorDomain, 0, std::move(description), {}};
  return reply;
}

// "attribution" as the platform's number objects answer it: a JSON boolean or a number.
std::optional<bool> attributionOf(const platform::Dictionary& object) {
  const platform::Object* value = platform::find(object, "attribution");
  if (!value || !value->isNumber()) return std::nullopt;
  return value->boolValue();
}

}  // namespace

APMSearchAdAttributionReply APMSearchAdAttributionReplyFromResponse(long status, const platform::Data& body) {
  // An error page or a refusal is no answer: it must never be recorded as "not attributed".
  if (status < 200 || status > 299) return failedReply("Unexpected status " + std::to_string(status));
  platform::Error error;
  auto object = platform::JSON::parseObject(body, &error);
  if (!object) {
    APMSearchAdAttributionReply reply;
    reply.error = error;
    return reply;
  }
  APMSearchAdAttributionReply reply;
  if (object->empty()) {
    reply.kind = APMSearchAdAttributionReply::Kind::kEmpty;
    return reply;
  }
  auto adID = platform::JSON::stringValue(*object, "adId");
  auto campaignID = platform::JSON::stringValue(*object, "campaignId");
  if (adID == APMSearchAdReporter::kTestDataMarker && campaignID == APMSearchAdReporter::kTestDataMarker) {
    reply.kind = APMSearchAdAttributionReply::Kind::kTestData;
    return reply;
  }
  auto attribution = attributionOf(*object);
  if (!attribution) return failedReply("No attribution in the reply");
  reply.kind = APMSearchAdAttributionReply::Kind::kAnswer;
  reply.attribution = *attribution;
  reply.campaignID = campaignID.value_or("");
  reply.keywordID = platform::JSON::stringValue(*object, "keywordId").value_or("");
  return reply;
}

// MARK: - Deployment

void APMSearchAdReporter::setAttributionServiceHost(const std::string& host) { attributionService().setHost(host); }
std::string APMSearchAdReporter::attributionServiceHost() { return attributionService().host(); }
void APMSearchAdReporter::setAttributionServiceScheme(const std::string& scheme) {
  attributionService().setScheme(scheme);
}
std::string APMSearchAdReporter::attributionServiceScheme() { return attributionService().scheme(); }
void APMSearchAdReporter::resetDeploymentForTesting() { attributionService().reset(); }

// MARK: - Component

void APMSearchAdComponent::startUpDidFinish() {
  std::weak_ptr<APMEngineContext> weakContext = context_;
  reporter_ = APMSearchAdReporter::initWithWorkerQueue(
      context_->workerQueue(), context_->persistedConfig(),
      [weakContext](const std::string& origin, const std::string& name, const platform::Dictionary& parameters) {
        if (auto context = weakContext.lock()) context->logInternalEvent(origin, name, parameters);
      });
  if (!reporter_) return;
  reporter_->setSearchAdReporterEnabled(true);
  reporter_->start();
}

void APMSearchAdComponent::collectionDidSwitch(bool enabled) {
  if (reporter_) reporter_->setSearchAdReporterEnabled(enabled);
}

// MARK: - Creation

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::initWithWorkerQueue(
    std::shared_ptr<platform::DispatchQueue> workerQueue, std::shared_ptr<APMPersistedConfig> persistedConfig,
    EventLogger eventLogger) {
  if (!workerQueue) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMSearchAdLogCode::kCannotInitSearchAdReporter,
           "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMSearchAdLogCode::kCannotInitSearchAdReporterPersistedConfig,
           "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->attribution().searchAdRetryCount() >= kMaxAttempts) return nullptr;
  if (persistedConfig->attribution().searchAdCampaignValue()) {
    APMLog(APMLogLevel::kDebug, APMSearchAdLogCode::kSearchAdCampaignAttributionAlreadyReported,
           "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
    return nullptr;
  }
  if (!eventLogger) {
    eventLogger = [](const std::string& origin, const std::string& name, const platform::Dictionary& parameters) {
      APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
    };
  }
  return std::make_shared<APMSearchAdReporter>(Private{}, std::move(workerQueue), std::move(persistedConfig),
                                               std::move(eventLogger));
}

APMSearchAdReporter::APMSearchAdReporter(Private, std::shared_ptr<platform::DispatchQueue> workerQueue,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig, EventLogger eventLogger)
    : workerQueue_(std::move(workerQueue)),
      persistedConfig_(std::move(persistedConfig)),
      eventLogger_(std::move(eventLogger)),
      alarm_(std::make_shared<APMAlarm>(workerQueue_, kAlarmName)) {}

APMSearchAdReporter::~APMSearchAdReporter() { cancelScheduling(); }

// MARK: - Switch and start

void APMSearchAdReporter::setSearchAdReporterEnabled(bool enabled) {
  const bool wasEnabled = searchAdReporterEnabled_.exchange(enabled);
  if (!enabled) {
    if (alarm_) alarm_->cancel();
    return;
  }
  if (!wasEnabled && started_) scheduleSearchAdReport();
}

void APMSearchAdReporter::start() {
  if (!adClientInstance()) {
    APMLog(APMLogLevel::kDebug, APMSearchAdLogCode::kAdServicesFrameworkNotLinked,
           "AdServices framework is not linked. Search Ad Attribution Reporter is disabled.");
    return;
  }
  if (APMAEU::isNOD()) {
    APMLog(APMLogLevel::kDebug, APMSearchAdLogCode::kSearchAdAttributionReporterDisabledSimulator,
           "Search Ad Attribution Reporter is disabled on the simulator");
    return;
  }
  started_ = true;
  scheduleSearchAdReport();
}

// MARK: - Scheduling

void APMSearchAdReporter::scheduleSearchAdReport() {
  if (!alarm_) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMSearchAdLogCode::kSearchAdCampaignAttributionAlarmAlreadyCanceled,
           "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!isSearchAdReporterEnabled()) {
    alarm_->cancel();
    return;
  }
  if (persistedConfig_->attribution().searchAdCampaignValue()) {
    APMLog(APMLogLevel::kDebug, APMSearchAdLogCode::kSearchAdReportNotScheduled,
           "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
    cancelScheduling();
    return;
  }
  if (alarm_->scheduledTimestamp()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMSearchAdLogCode::kSearchAdCampaignAttributionAlarmAlready,
           "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->attribution().searchAdRetryCount() >= kMaxAttempts) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMSearchAdLogCode::kSearchAdCampaignAttributionExceedsMax,
           "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
    cancelScheduling();
    return;
  }
  APMLog(APMLogLevel::kDebug, APMSearchAdLogCode::kSchedulingSearchAdReportTimer, "Scheduling Search Ad Report timer");
  // Negative, and so at once, when no attempt was made yet or the last one is a day old.
  const double delay =
      kAttemptInterval - std::fabs(platform::now() - persistedConfig_->attribution().lastSearchAdLookUpTimestamp());
  std::weak_ptr<APMSearchAdReporter> weakSelf = weak_from_this();
  alarm_->runAfterDelay(delay, [weakSelf] {
    if (auto self = weakSelf.lock()) self->maybeLogIAdCampaignEvent();
  });
}

void APMSearchAdReporter::cancelScheduling() {
  if (!alarm_) return;
  alarm_->cancel();
  alarm_.reset();
}

// MARK: - Attempts

void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance()) return;
  persistedConfig_->attribution().setLastSearchAdLookUpTimestamp(platform::now());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void APMSearchAdReporter::fetchAttributionDetails() {
  persistedConfig_->attribution().setSearchAdRetryCount(persistedConfig_->attribution().searchAdRetryCount() + 1);
  auto client = adClientInstance();
  if (!client) return;
  platform::Error error;
  auto token = client->attributionTokenWithError(&error);
  if (!token) {
    APMLog(APMLogLevel::kErrorSampled, APMSearchAdLogCode::kCannotSendRequestSearchAdCampaignAttribution,
           "Cannot send request for Search Ad campaign attribution. Error", error);
    return;
  }
  if (!token->empty()) requestAttributionPayloadWithToken(*token);
}

void APMSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
  if (token.empty()) return;
  platform::HttpRequest request;
  request.method = "POST";
  request.url = attributionServiceScheme() + "://" + attributionServiceHost() + kAttributionPath;
  request.headers = {{"cache-control", "no-cache"}, {"Content-Type", "text/plain"}};
  request.body.assign(token.begin(), token.end());
  request.timeoutSeconds = kRequestTimeout;
  std::weak_ptr<APMSearchAdReporter> weakSelf = weak_from_this();
  auto queue = workerQueue_;
  // The reply arrives on a transport thread; the alarm and the answer are the worker queue's.
  platform::HttpClient::shared().send(std::move(request), [weakSelf, queue](platform::HttpResult result) {
    queue->async([weakSelf, result = std::move(result)] {
      if (auto self = weakSelf.lock()) self->handleAttributionReply(result);
    });
  });
}

void APMSearchAdReporter::handleAttributionReply(const platform::HttpResult& result) {
  // Switched off meanwhile: the answer waits for the next attempt, which the switch re-arms.
  if (!isSearchAdReporterEnabled()) return;
  if (result.error) {
    APMLog(APMLogLevel::kErrorSampled, APMSearchAdLogCode::kCannotSendRequestSearchAdCampaign,
           "Cannot send request for Search Ad campaign attribution. Error", *result.error);
    scheduleSearchAdReport();
    return;
  }
  const long status = result.response ? result.response->statusCode : 0;
  APMSearchAdAttributionReply reply = APMSearchAdAttributionReplyFromResponse(status, result.body);
  switch (reply.kind) {
    case APMSearchAdAttributionReply::Kind::kFailed:
      APMLog(APMLogLevel::kErrorSampled, APMSearchAdLogCode::kSearchAdReporterFailedParseJSON,
             "Search Ad Reporter failed to parse JSON data. Error", reply.error);
      scheduleSearchAdReport();
      return;
    case APMSearchAdAttributionReply::Kind::kEmpty:
      scheduleSearchAdReport();
      return;
    case APMSearchAdAttributionReply::Kind::kTestData:
      APMLog(APMLogLevel::kDebug, APMSearchAdLogCode::kSearchAdReporterReturnedTestData,
             "Search Ad Reporter returned test data. Will retry next time.");
      scheduleSearchAdReport();
      return;
    case APMSearchAdAttributionReply::Kind::kAnswer:
      logCampaignEventWithSearchAdCampaign(reply.attribution, reply.campaignID, reply.keywordID);
      cancelScheduling();
      return;
  }
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign,
                                                               const std::string& term) {
  {
    std::lock_guard<std::mutex> lock(campaignMutex_);
    if (persistedConfig_->attribution().searchAdCampaignValue()) {
      APMLog(APMLogLevel::kWarningSampledOnly, APMSearchAdLogCode::kSearchAdCampaignAlreadyTracked,
             "Search Ad Campaign is already tracked");
      return;
    }
    persistedConfig_->attribution().setSearchAdCampaignValue(attributed);
  }
  if (!attributed) return;

  platform::Dictionary parameters = {{"source", "Apple"}, {"medium", "search"}};
  if (!campaign.empty()) parameters["campaign"] = campaign;
  if (!term.empty()) parameters["term"] = term;
  const int64_t firstOpenMillis = persistedConfig_->attribution().firstOpenTimestampMilliseconds();
  if (firstOpenMillis >= 2) {
    parameters["click_timestamp"] = static_cast<long long>(firstOpenMillis - 1);
  } else {
    APMLog(APMLogLevel::kWarningSampledOnly, APMSearchAdLogCode::kSearchAdCampaignWithoutClickTime,
           "Search Ad Campaign does not have click_timestamp.");
  }
  eventLogger_("auto", "_cmp", parameters);
}
