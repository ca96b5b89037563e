#pragma once
// Facts about the environment the SDK runs in: how the application was installed, the device and
// the operating system.

#include <string>

class VAROreVozizivizirUviv {
 public:
  // The platform name the services know this client by.
  static constexpr const char* kApplicationPlatform = "macos";
  // The file name the store gives receipts of test (sandbox) purchases.
  static constexpr const char* kSandboxReceiptFileName = "sandboxReceipt";

  // YES when the application came from the App Store: its bundle has a receipt file and that
  // receipt is not a sandbox receipt.
  static bool isFromAppStore();
  // YES when the bundle's receipt path names a sandbox receipt (whether or not the file exists).
  static bool isAppStoreReceiptSandbox();
  // YES when the bundle's receipt path is set and a regular file is there.
  static bool hasAppStoreReceipt();
  // This process never runs in a simulator.
  static bool isSimulator() { return false; }

  // The model identifier ("x86_64", "arm64" …); "" when it cannot be read.
  static std::string deviceModel();
  // The operating system's version ("6.1.0").
  static std::string systemVersion();
  static std::string applicationPlatform() { return kApplicationPlatform; }
};
