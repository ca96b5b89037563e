#include "DirodaZovAridozovori/Core/Utilities/APMEnvironmentInfo.h"

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace {

using testsupport::ScopedEnvironment;

TEST(APMEnvironmentInfoTests, TimeZoneOffsetInMinutes) {
  struct Case { const char* zone; double when; int32_t expected; } cases[] = {
      {"EST5", 1700000000, -300},
      {"<+0545>-5:45", 1700000000, 345},
      // Daylight saving time: the offset of the clock's moment, not a fixed one.
      {"EST5EDT,M3.2.0,M11.1.0", 1700000000, -300},  // November
      {"EST5EDT,M3.2.0,M11.1.0", 1690000000, -240},  // July
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone);
    testsupport::ScopedFakeClock clock(c.when);
    ScopedEnvironment zone("TZ", c.zone);
    EXPECT_EQ(APMEnvironmentInfo("model").timeZoneOffsetMinutes(), c.expected);
  }
}

TEST(APMEnvironmentInfoTests, UserDefaultLanguageIsLowerCased) {
  ScopedEnvironment all("LC_ALL", nullptr);
  ScopedEnvironment messages("LC_MESSAGES", nullptr);
  ScopedEnvironment lang("LANG", nullptr);
  struct Case { const char* languageList; const char* expected; } cases[] = {
      {"fr_FR:de_DE", "fr-fr"},
      {"pt_BR.UTF-8", "pt-br"},
      {"de", "de"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.languageList);
    ScopedEnvironment language("LANGUAGE", c.languageList);
    EXPECT_EQ(APMEnvironmentInfo("model").userDefaultLanguage(), std::optional<std::string>(c.expected));
  }
}

}  // namespace
