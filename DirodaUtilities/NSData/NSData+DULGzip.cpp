#include "NSData+DULGzip.h"

#include "platform/Gzip.h"

std::optional<platform::Data> dul_dataByGzippingData(const platform::Data& data, platform::Error* error) {
  std::string reason;
  auto compressed = platform::Gzip::deflate(data, &reason);
  if (!compressed) {
    platform::setError(error, platform::Error(kDULGzipErrorDomain, DULGzipErrorCodeDeflateFailed,
                                              "Failed to compress data: " + reason));
  }
  return compressed;
}

std::optional<platform::Data> dul_dataByInflatingGzippedData(const platform::Data& data, platform::Error* error) {
  std::string reason;
  auto inflated = platform::Gzip::inflate(data, platform::Gzip::kDefaultInflateLimit, &reason);
  if (!inflated) {
    platform::setError(error, platform::Error(kDULGzipErrorDomain, DULGzipErrorCodeInflateFailed,
                                              "Failed to inflate data: " + reason));
  }
  return inflated;
}
