#pragma once
// The components every engine is made with.

#include <functional>

#include "APMEngineComponent.h"

// A fresh set of components for one new engine, in the order the engine calls them.
APMEngineComponentList APMMakeEngineComponents();

// Tests: every engine made from now on gets what editor makes of the usual list (nullptr: the usual
// list again).
void APMSetEngineComponentEditorForTesting(std::function<APMEngineComponentList(APMEngineComponentList)> editor);
