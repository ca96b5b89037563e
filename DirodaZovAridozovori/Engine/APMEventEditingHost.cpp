#include "APMEventEditingHost.h"

#include <exception>

namespace {

APMPConfigurationModules modulesOfConfig(const APMRemoteConfig& config) {
  APMPConfigurationModules modules;
  // Programs see the settings as they stood when the program was loaded.
  auto settings = std::make_shared<const platform::Dictionary>(config.programs().settingsForPrograms());
  modules.settings = [settings](const std::string& key) -> std::optional<std::string> {
    const platform::Object* value = platform::find(*settings, key);
    if (!value || !value->isString()) return std::nullopt;
    return value->stringValue();
  };
  std::weak_ptr<const APMRemoteConfig> weakConfig = config.weak_from_this();
  modules.appMetadata = [weakConfig]() -> platform::Object {
    auto current = weakConfig.lock();
    if (!current) return platform::Object(platform::Dictionary{{"platform", "macos"}});
    return platform::Object(current->programs().appMetadataForPrograms());
  };
  modules.logger = std::make_shared<APMPixieLogger>();
  return modules;
}

}  // namespace

std::shared_ptr<APMPEvent> APMPEventFromEditEvent(const APMEditEventForm& event) {
  return std::make_shared<APMPEvent>(event.name, event.timestamp, event.parameters);
}

APMEditEventForm APMEditEventFromPEvent(const APMPEvent& event) {
  return APMEditEventForm{event.name(), event.timestamp(), event.parameters()};
}

std::shared_ptr<APMRemoteConfigEventEditing> APMEventEditingHost::loadProgram(const APMPBProgram& program,
                                                                              const APMRemoteConfig& config,
                                                                              platform::Error* error) {
  std::unique_ptr<APMPEventEditing> editing =
      APMPEventEditing::hostWithProgram(program, modulesOfConfig(config), error);
  if (!editing) return nullptr;
  return std::make_shared<APMEventEditingHost>(std::move(editing));
}

APMEventEditingOutcome APMEventEditingHost::runEventEditing(APMRemoteConfigEventEditing& host,
                                                            const APMEditEventForm& event) {
  auto* ours = dynamic_cast<APMEventEditingHost*>(&host);
  if (!ours) return {};
  return ours->handleEvent(event);
}

APMEventEditingOutcome APMEventEditingHost::handleEvent(const APMEditEventForm& event) {
  APMEventEditingOutcome outcome;
  try {
    platform::Error error;
    editing_->handleEvent(APMPEventFromEditEvent(event), &error);
    if (!error.empty()) {
      outcome.failed = true;
      return outcome;
    }
    const APMPEventContext& context = editing_->eventContext();
    if (editing_->hasEdits()) outcome.outputEvent = APMEditEventFromPEvent(*context.outputEvent());
    for (const auto& created : context.eventsToLog()) outcome.eventsToLog.push_back(APMEditEventFromPEvent(*created));
  } catch (const std::exception&) {
    // The logged event must still be stored: report a failed edit instead of losing it.
    outcome = APMEventEditingOutcome{};
    outcome.failed = true;
  }
  return outcome;
}

void APMEventEditingComponent::attachToEngine(const std::shared_ptr<APMEngineContext>&) {
  APMRemoteConfigPrograms::setEventEditingLoader(&APMEventEditingHost::loadProgram);
}
