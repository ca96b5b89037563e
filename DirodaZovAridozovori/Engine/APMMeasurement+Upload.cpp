// Placeholder until the upload scheduling lands: nothing is armed yet.
#include "APMMeasurement.h"

void APMMeasurement::updateSchedule() {}
