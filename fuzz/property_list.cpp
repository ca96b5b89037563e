// Property lists, binary and XML, as preference files, the service file and Info.plist are read:
// decoded from bytes and from a file (the two must agree). Whatever decodes must encode again in
// both formats, and its binary form (the one preferences are written in) must read back.
#include <fstream>

#include "FuzzSupport.h"
#include "platform/PropertyList.h"

using platform::PropertyList;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  const platform::Data bytes = fuzzsupport::bytesOf(data, size);
  const platform::Object value = PropertyList::decode(bytes);

  static const std::string path = fuzzsupport::dataDirectory() + "/input.plist";
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  if (!(PropertyList::readFile(path) == value)) fuzzsupport::fail("the file reads other than its bytes");
  if (value.isNull()) return 0;

  for (auto format : {PropertyList::Format::Binary, PropertyList::Format::XML}) {
    const platform::Data encoded = PropertyList::encode(value, format);
    if (encoded.empty()) fuzzsupport::fail("a decoded value does not encode");
    const platform::Object again = PropertyList::decode(encoded);
    if (format == PropertyList::Format::Binary && again.isNull()) fuzzsupport::fail("a written value does not read back");
  }
  return 0;
}
