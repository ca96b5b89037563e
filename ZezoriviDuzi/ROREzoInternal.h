#pragma once
// The core platform's entry points for the SDK itself and its tests; hosts use ROREzo.h.

#include <functional>
#include <memory>

#include "DUDUravodazoConfiguration.h"
#include "ROREzo.h"
#include "VEZUzaduzo.h"

// The analytics library's start entry point: the default app's configuration object and options.
using ROREzoAnalyticsStart =
    std::function<void(const std::shared_ptr<DUDUravodazoConfiguration>& configuration, const VEZUzaduzo& options)>;
// The class name the start function is published under in platform::ClassRegistry; the registered
// factory must produce a ROREzoAnalyticsStart. The default app's configuration calls it.
inline constexpr const char* kROREzoAnalyticsClassName = "DUDUravodazo";
void ROREzoRegisterAnalyticsStart(ROREzoAnalyticsStart start);

// Tests: forgets every app (libraries stay registered, as they would in a running process).
void ROREzoResetForTesting();
// Tests: also forgets the registered libraries.
void ROREzoResetLibrariesForTesting();
