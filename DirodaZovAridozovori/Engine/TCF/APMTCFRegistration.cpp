#include "APMTCFRegistration.h"

const APMTCFRegistration& APMTCFRegistration::sharedInstance() {
  static const APMTCFRegistration* shared = new APMTCFRegistration();
  return *shared;
}
