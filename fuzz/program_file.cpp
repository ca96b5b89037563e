// The files the pixie-run tool reads: a program in its text form (or, failing that, its binary
// form), applied to an event, and an event written as JSON. An event read from JSON must write
// out as JSON that reads back to the same line.
#include <string>
#include <string_view>
#include <vector>

#include "EventEditing/APMPEventEditingTool.h"
#include "FuzzSupport.h"

namespace {

constexpr std::string_view kEvent =
    R"({"name": "purchase", "timestamp": 1700000000.5, "params": {"value": 9.99, "count": 3,)"
    R"( "currency": "EUR", "items": [{"item_id": "sku-1", "price": 4.5}]}})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  const platform::Data bytes = fuzzsupport::bytesOf(data, size);
  std::vector<std::string> lines;
  (void)APMPRunProgramOnEvent(bytes, kEvent, nullptr, lines);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  platform::Error error;
  auto event = APMPEventFromJSON(text, &error);
  if (!event) return 0;
  const std::string written = APMPJSONFromEvent(*event);
  auto again = APMPEventFromJSON(written, &error);
  if (!again) fuzzsupport::fail("an event written as JSON does not read back: " + written);
  if (APMPJSONFromEvent(*again) != written) fuzzsupport::fail("an event written as JSON reads back as another: " + written);
  return 0;
}
