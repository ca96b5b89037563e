#include "APMPMethodTables.h"

#include "Methods/APMPArrayCommandEvaluator.h"
#include "Methods/APMPStringCommandEvaluator.h"

APMPMethodTableHooks APMPBuiltinMethodTables() {
  APMPMethodTableHooks hooks;
  hooks.arrayMethods = APMPArrayMethodCall;
  hooks.stringMethods = APMPStringMethodCall;
  return hooks;
}
