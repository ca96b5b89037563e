// An event as the database keeps it, read back from a file that may be torn or tampered with: the
// whole form a conditional user property keeps in one column (name and timestamp first), the
// body a raw-event row keeps beside its name and timestamp columns. Whatever decodes must store
// again to the same bytes, and must reach an upload bundle in a form the bundle's reader accepts,
// the very bytes the message encoder writes (a text holding NUL aside: the wire form carries it
// whole, where a message string cannot).
#include "APMEvent.h"
#include "APMEventEncoding.h"
#include "APMPBMessages.h"
#include "FuzzSupport.h"
#include "Upload/APMEventWireEncoding.h"

namespace {

bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

bool holdsNul(const APMParameters& parameters) {
  for (const auto& [name, value] : parameters) {
    if (holdsNul(name) || (value.isString() && holdsNul(value.stringValue()))) return true;
    if (value.isArray()) {
      for (const APMParameters& item : value.arrayValue()) {
        if (holdsNul(item)) return true;
      }
    }
  }
  return false;
}

void check(const std::shared_ptr<APMEvent>& event) {
  const platform::Data stored = APMEventEncoding::encoded(*event);
  auto again = APMEventEncoding::decode(stored);
  if (!again) fuzzsupport::fail("a stored event does not read back");
  if (APMEventEncoding::encoded(*again) != stored) fuzzsupport::fail("a stored event reads back as another");
  const bool nul = holdsNul(event->name()) || holdsNul(event->parameters());
  for (double previous : {0.0, event->previousTimestamp()}) {
    const platform::Data upload = APMEventUploadEncoding(*event, previous);
    if (!APMEventEncodingParses(upload)) fuzzsupport::fail("an event's upload form does not parse");
    if (!nul && upload != APMEventEncoding::protoEvent(*event->copyWithPreviousTimestamp(previous))->protoBuffer()) {
      fuzzsupport::fail("an event's upload form is not the encoder's");
    }
  }
  (void)APMEvent::eventFromEditEvent(event->editEvent());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  const platform::Data bytes = fuzzsupport::bytesOf(data, size);
  if (auto event = APMEventEncoding::decode(bytes)) check(event);
  if (auto event = APMEventEncoding::decodeBody("level_up", 1700000000.0, bytes)) check(event);
  return 0;
}
