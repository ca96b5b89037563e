#include "APMAudienceComponent.h"

#include "Audience/APMAudience.h"
#include "Upload/APMRawEventBundler.h"

namespace {

// One bundle's evaluation pass.
class AudienceEvaluationContext final : public APMBundleEvaluationContext {
 public:
  APMAudienceEvaluationPass pass;
};

APMAudienceEvaluationPass* passOf(APMBundleEvaluationContext* context) {
  auto* audienceContext = dynamic_cast<AudienceEvaluationContext*>(context);
  return audienceContext ? &audienceContext->pass : nullptr;
}

}  // namespace

bool APMAudienceComponent::storeAudiences(APMDatabase& database, APMRemoteConfig& remoteConfig,
                                          const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
  // The engine owns both and holds them across the call: the evaluator borrows them.
  APMAudience audience(std::shared_ptr<APMDatabase>(std::shared_ptr<APMDatabase>(), &database), [&remoteConfig] {
    return std::shared_ptr<APMRemoteConfig>(std::shared_ptr<APMRemoteConfig>(), &remoteConfig);
  });
  return audience.updateAudiences(audiences);
}

void APMAudienceComponent::addBundlingHooks(const std::shared_ptr<APMDatabase>& database, APMBundlingHooks& hooks) {
  // One evaluator per upload road: it lives as long as the bundler built over the database.
  auto audience = std::make_shared<APMAudience>(database);
  hooks.beginBundleEvaluation = []() -> std::shared_ptr<APMBundleEvaluationContext> {
    return std::make_shared<AudienceEvaluationContext>();
  };
  // Within a bundle the results change in its pass, which is saved when the bundle's results are
  // read; without one (the session start) each evaluation is saved at once.
  hooks.evaluateEvent = [audience](const APMEvent& event, const APMEventAggregates& aggregates,
                                   APMBundleEvaluationContext* context) {
    auto* pass = passOf(context);
    return pass ? audience->evaluateFiltersForEvent(event, aggregates, *pass)
                : audience->evaluateFiltersForEvent(event, aggregates, nullptr);
  };
  hooks.evaluateUserProperty = [audience](const APMPBUserAttribute& property, std::optional<double> evaluationTime,
                                          APMBundleEvaluationContext* context) {
    auto* pass = passOf(context);
    return pass ? audience->evaluateFiltersForNanoUserProperty(property, *pass, evaluationTime)
                : audience->evaluateFiltersForNanoUserProperty(property, nullptr, evaluationTime);
  };
  hooks.resultsForBundling = [audience](APMBundleEvaluationContext* context) {
    return audience->resultsForBundling(passOf(context));
  };
  hooks.clearSessionScopedResults = [audience] { audience->clearEvaluationResultsForSessionScopedFilters(); };
}
