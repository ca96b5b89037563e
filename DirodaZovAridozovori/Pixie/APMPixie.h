#pragma once
// Everything a host of the Pixie interpreter uses.

#include "APMPArrayValue.h"
#include "APMPCommandEvaluator.h"
#include "APMPEvaluator.h"
#include "APMPFunctionValue.h"
#include "APMPMapValue.h"
#include "APMPMethodTables.h"
#include "APMPNativeModules.h"
#include "APMPObjectManager.h"
#include "APMPPropertyMap.h"
#include "APMPRuntime.h"
#include "APMPRuntimeEntityConverter.h"
#include "APMPRuntimeValue.h"
#include "APMPScope.h"
#include "APMPStatementValue.h"
