#include "APMAudienceComponent.h"

#include "APMMeasurement.h"
#include "Audience/APMAudience.h"
#include "Fetch/APMRemoteConfigFetch.h"
#include "Upload/APMRawEventBundler.h"

namespace {

// One bundle's evaluation pass: the match times its events and properties share.
class AudienceEvaluationContext final : public APMBundleEvaluationContext {
 public:
  APMAudienceTimestampsCache cache;
};

APMAudienceTimestampsCache* cacheOf(APMBundleEvaluationContext* context) {
  auto* audienceContext = dynamic_cast<AudienceEvaluationContext*>(context);
  return audienceContext ? &audienceContext->cache : nullptr;
}

void addBundlingHooks(const std::shared_ptr<APMDatabase>& database, APMBundlingHooks& hooks) {
  // One evaluator per upload road: it lives as long as the bundler built over the database.
  auto audience = std::make_shared<APMAudience>(database);
  hooks.beginBundleEvaluation = []() -> std::shared_ptr<APMBundleEvaluationContext> {
    return std::make_shared<AudienceEvaluationContext>();
  };
  hooks.evaluateEvent = [audience](const APMEvent& event, const APMEventAggregates& aggregates,
                                   APMBundleEvaluationContext* context) {
    return audience->evaluateFiltersForEvent(event, aggregates, cacheOf(context));
  };
  hooks.evaluateUserProperty = [audience](const APMPBUserAttribute& property, std::optional<double> evaluationTime,
                                          APMBundleEvaluationContext* context) {
    return audience->evaluateFiltersForNanoUserProperty(property, cacheOf(context), evaluationTime);
  };
  hooks.resultsForBundling = [audience] { return audience->resultsForBundling(); };
  hooks.clearSessionScopedResults = [audience] { audience->clearEvaluationResultsForSessionScopedFilters(); };
}

bool updateAudiences(APMDatabase& database, APMRemoteConfig& remoteConfig,
                     const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
  // The engine owns both and holds them across the call: the evaluator borrows them.
  APMAudience audience(std::shared_ptr<APMDatabase>(std::shared_ptr<APMDatabase>(), &database), [&remoteConfig] {
    return std::shared_ptr<APMRemoteConfig>(std::shared_ptr<APMRemoteConfig>(), &remoteConfig);
  });
  return audience.updateAudiences(audiences);
}

}  // namespace

void APMAudienceComponent::install() {
  bool installed = false;
  APMMeasurement::updateComponents([&installed](APMMeasurementComponents& parts) {
    if (parts.createAudience) return;
    parts.createAudience = [](const std::shared_ptr<APMDatabase>& database) { return database != nullptr; };
    parts.addAudienceBundlingHooks = &addBundlingHooks;
    installed = true;
  });
  if (installed) APMSetAudienceUpdater(&updateAudiences);
}
