#pragma once
// Equality and ordering of runtime values, as the comparison commands, array searches and sorting
// use them.

#include "APMPRuntimeValue.h"
#include "platform/Error.h"

// Identity for heap kinds; same kind for the data-less ones; payload for numbers/booleans.
bool APMPIsIdentical(const APMPRuntimeValue& a, const APMPRuntimeValue& b);

bool APMPStringEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b);
bool APMPNumberEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b);
bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b);
bool APMPLooseEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b);
// -1, 0 or 1 by the ordered-comparison rules (string-like pairs as text, else numbers; NaN gives 1).
int APMPCompare(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error);
