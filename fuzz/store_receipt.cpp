// The application's store receipt, a file the host application ships: scanned for its in-app
// purchase entries, and read from its place on disk for the version it was issued for.
#include <fstream>

#include "FuzzSupport.h"
#include "Purchase/APMReceiptReader.h"
#include "platform/Bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  const platform::Data receipt = fuzzsupport::bytesOf(data, size);
  (void)APMReceiptReaderPurchaseItems(receipt);

  static const std::string path = [] {
    std::string placed = fuzzsupport::dataDirectory() + "/receipt";
    platform::Bundle::setAppStoreReceiptPath(placed);
    platform::Bundle::setShortVersion("2.4.0");
    return placed;
  }();
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  (void)APMReceiptReaderReadIsVersionSameAsOriginalVersion();
  return 0;
}
