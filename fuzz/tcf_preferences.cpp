// The host's TCF decision as its consent-management platform left it in the application's
// defaults, and the last reading this SDK kept in its own suite: a property list whose "host"
// dictionary goes into the defaults and whose "suite" dictionary into the suite, any key and any
// value type. The decision is read, turned into consent and the "_tcf" values, and stored; a stored
// reading must compare equal to itself and read back as the same reading, or every upload would
// report it again.
#include <string>
#include <vector>

#include "APMUserDefaults.h"
#include "FuzzSupport.h"
#include "TCF/APMTCFClient.h"
#include "TCF/APMTCFData.h"
#include "TCF/APMTCFEventValues.h"
#include "TCF/APMTCFStoredReading.h"
#include "platform/PropertyList.h"

namespace {

const platform::Dictionary* dictionaryAt(const platform::Object& root, const char* key) {
  const platform::Object* value = root.isDictionary() ? platform::find(root.dictionaryValue(), key) : nullptr;
  return value && value->isDictionary() ? &value->dictionaryValue() : nullptr;
}

void checkValues(const APMTCFData& data) {
  (void)APMTCFClient::consentFromData(data);
  const std::string compact = APMTCFEventValues::tcfBundleParameterValue(data, true);
  if (compact.size() != 5) fuzzsupport::fail("a \"_tcfd\" value of another length: " + compact);
  const std::string reasons = APMTCFEventValues::tcfd2ParamValue(data);
  if (reasons.size() != 5) fuzzsupport::fail("a \"_tcfd2\" value of another length: " + reasons);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  static auto* reading = new APMTCFStoredReading;
  static auto* hostKeys = new std::vector<std::string>;
  const auto& host = APMUserDefaults::sharedUserDefaults();

  // Every input starts from empty defaults and an empty suite.
  for (const std::string& key : *hostKeys) host->removeObjectForKey(key);
  hostKeys->clear();
  reading->clear();

  const platform::Object root = platform::PropertyList::decode(fuzzsupport::bytesOf(data, size));
  if (const platform::Dictionary* values = dictionaryAt(root, "host")) {
    for (const auto& [key, value] : *values) {
      host->setObject(value, key);
      hostKeys->push_back(key);
    }
  }
  if (const platform::Dictionary* values = dictionaryAt(root, "suite")) {
    for (const auto& [key, value] : *values) reading->userDefaults()->setObject(value, key);
  }

  // What the suite held before: the previous reading the client compares consent with.
  checkValues(reading->storedData());
  (void)reading->storedRepresentation();

  APMTCFData current;
  current.readFromUserDefaults();
  checkValues(current);
  const std::string representation = APMTCFStoredReading::stringRepresentationFromTCFData(current);
  reading->store(current);
  if (!reading->equalsRepresentation(representation)) fuzzsupport::fail("a stored reading differs from itself");
  const std::string readBack = APMTCFStoredReading::stringRepresentationFromTCFData(reading->storedData());
  if (readBack != representation) {
    fuzzsupport::fail("a stored reading reads back as another: " + representation + " / " + readBack);
  }
  return 0;
}
