#pragma once
// How one logged event is handled on its way from the caller to the event road. The same options
// travel from the front through the engine to the worker, so each level reads them by name.
#include <functional>
#include <string>

#include "platform/Object.h"

// Takes public events instead of the road (origin, name, parameters, timestamp).
using APMEventInterceptor = std::function<void(const std::string& origin, const std::string& name,
                                               const platform::Dictionary& parameters, double timestamp)>;

struct APMLogEventOptions {
  // Collection was enabled when the event was handed to the engine. The front fills it in from its
  // own switch as it hands the event on, whatever its caller gave.
  bool enabled = true;
  // Listeners hear of the event (and an interceptor may take it) even while collection is disabled.
  bool ignoreEnabled = false;
  // The interceptor and the default event parameters pass the event by (events another SDK component
  // forwards, and the engine's own).
  bool ignoreInterceptor = false;
};
