#include "APMPMethodTables.h"

APMPMethodTableHooks APMPBuiltinMethodTables() {
  APMPMethodTableHooks hooks;
  // The array and string tables register here once they are part of the build.
  return hooks;
}
