#pragma once
// Facts about how the running application was built and installed.

#include <optional>
#include <string>

class APMAEU {
 public:
  // Where the store receipt lives; none when the Info.plist key
  // "ZoredodeAppStoreReceiptURLCheckEnabled" is a number equal to false, or no receipt path is known.
  static std::optional<std::string> appStoreRURL();
  // The receipt is the sandbox (test) receipt.
  static bool isASRS();
  // Running on a simulator: never on this platform.
  static bool isNOD();
  // The application was installed from the App Store: a receipt file is present and it is not the
  // sandbox receipt.
  static bool isFAS();
  // The application is an application extension (its bundle path ends with ".appex").
  static bool isAEX();
  static std::string deviceModel();
  static std::string systemVersion();
};
