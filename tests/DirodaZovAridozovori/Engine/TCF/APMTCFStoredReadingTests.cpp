// The stored TCF reading on its own: what is stored is what a later launch reads back.
#include <gtest/gtest.h>

#include <string>

#include "TCF/APMTCFDataGenerator.h"
#include "TCF/APMTCFStoredReading.h"
#include "TCFTestSupport.h"

namespace {

class TCFStoredReadingTest : public tcftest::TCFTest {};

TEST_F(TCFStoredReadingTest, AStoredReadingIsReadBackWholeByTheNextLaunchUntilCleared) {
  APMTCFDataGenerator full;
  full.isTCFDataEnabled = true;
  full.isAdvertiserConsentModeEnabled = platform::Object(1);
  full.cmpSDKID = platform::Object(300);
  full.vendorConsents = tcftest::kVendorSet;
  full.vendorLegitimateInterests = std::string("1");
  full.gdprApplies = platform::Object(1);
  full.policyVersion = platform::Object(4);
  full.purposeConsents = std::string("1101");
  full.purposeLegitimateInterests = std::string("0110");
  full.publisherRestrictions = {"", "", std::string(754, '0') + "2"};
  full.isPurposeOneTreatmentEnabled = platform::Object(1);
  full.publisherCC = std::string("CH");
  APMTCFDataGenerator sparse;
  sparse.gdprApplies = platform::Object(0);

  const struct {
    const char* what;
    APMTCFDataGenerator reading;
    std::string representation;
  } cases[] = {
      {"every value", full,
       "_v_=2,isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,hasDirodaInVendorConsents=1,"
       "hasDirodaInVendorLegitimateInterests=0,gdprApplies=1,policyVersion=4,purposeConsents=1101,"
       "purposeLegitimateInterests=0110,publisherRestrictions=||" +
           std::string(754, '0') + "2,isPurposeOneTreatmentEnabled=1,publisherCC=CH"},
      {"a switched-off reading with one value", sparse, "_v_=2,isTCFDataEnabled=0,gdprApplies=0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    const APMTCFData data = c.reading.generateData();
    ASSERT_EQ(APMTCFStoredReading::stringRepresentationFromTCFData(data), c.representation);
    APMTCFStoredReading().store(data);

    APMTCFStoredReading next;  // the next launch: only the suite remains
    EXPECT_EQ(next.storedRepresentation(), c.representation);
    EXPECT_TRUE(next.equalsRepresentation(c.representation));
    EXPECT_FALSE(next.equalsRepresentation("_v_=2,isTCFDataEnabled=1"));
    EXPECT_EQ(APMTCFStoredReading::stringRepresentationFromTCFData(next.storedData()), c.representation);

    next.clear();
    EXPECT_EQ(APMTCFStoredReading().storedRepresentation(), "");
    EXPECT_EQ(APMTCFStoredReading::stringRepresentationFromTCFData(APMTCFStoredReading().storedData()),
              "_v_=2,isTCFDataEnabled=0");
  }
}

}  // namespace
