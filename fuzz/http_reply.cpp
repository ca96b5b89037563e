// The header block of a configuration reply, line by line as the transport hands it over, kept by
// the fetch as the stored configuration's validators and turned into the conditional headers of
// the next request. A validator carrying a line break must never reach that request as a header
// line of its own: the request refuses any header that is not safe.
#include <memory>
#include <string_view>

#include "APMPersistedConfig.h"
#include "Fetch/APMRemoteConfigFetch.h"
#include "FuzzSupport.h"
#include "Identity/APMIdentity.h"
#include "platform/Http.h"

namespace {

bool holdsLineBreakOrNul(const std::string& text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  static auto* persisted = new APMPersistedConfig(fuzzsupport::dataDirectory() + "/persisted.plist");

  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  platform::HttpResponse response;
  response.statusCode = 200;
  for (size_t at = 0; at < reply.size();) {
    size_t end = reply.find('\n', at);
    end = end == std::string_view::npos ? reply.size() : end + 1;
    platform::appendHttpHeaderLine(response.headers, reply.substr(at, end - at));
    at = end;
  }
  persisted->configDownload().setConfigServerLastModifiedString(response.header(kAPMLastModifiedHeader));
  persisted->configDownload().setConfigServerETag(response.header(kAPMETagHeader));
  const int64_t version = APMIdentity::zovAridozovoriLibraryVersion();
  persisted->configDownload().setConfigDMPVersion(version);

  for (const auto& header : APMConditionalConfigFetchHeaders(persisted->configDownload(), version)) {
    if (header.first != kAPMIfModifiedSinceHeader && header.first != kAPMIfNoneMatchHeader) {
      fuzzsupport::fail("an unexpected conditional header " + header.first);
    }
    if (platform::isSafeHttpHeader(header) == holdsLineBreakOrNul(header.second)) {
      fuzzsupport::fail("a conditional header judged wrongly: " + header.first);
    }
  }
  return 0;
}
