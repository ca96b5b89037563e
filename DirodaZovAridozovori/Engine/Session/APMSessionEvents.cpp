#include "APMSessionEvents.h"

#include <utility>

namespace {

int64_t wholeSeconds(double timestamp) { return static_cast<int64_t>(timestamp); }

}  // namespace

std::shared_ptr<APMEvent> APMSessionStartEvent(int64_t sessionNumber, bool appInBackground, double timestamp,
                                               const platform::Dictionary& screenParameters) {
  APMParameters parameters;
  parameters.insert_or_assign(APMSessionEvents::kSessionIDName, APMValue(wholeSeconds(timestamp)));
  parameters.insert_or_assign(APMSessionEvents::kSessionNumberName, APMValue(sessionNumber));
  if (appInBackground) parameters.insert_or_assign(APMSessionEvents::kAppInBackgroundName, APMValue(int64_t{1}));
  auto event = APMEvent::create(APMSessionEvents::kOriginAuto, false, APMSessionEvents::kSessionStartEventName,
                                timestamp, 0, std::move(parameters));
  if (event && !appInBackground) event->addScreenParameters(screenParameters);
  return event;
}
