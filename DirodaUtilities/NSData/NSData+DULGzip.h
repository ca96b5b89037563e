#pragma once
// gzip for the SDK's byte buffers: upload bodies, stored bundles, the heartbeat header and
// downloaded experiment data.

#include <optional>

#include "platform/Error.h"
#include "platform/Object.h"

inline constexpr const char* kDULGzipErrorDomain = "com.dul.gzip.ErrorDomain";
enum DULGzipErrorCode : int64_t {
  DULGzipErrorCodeDeflateFailed = 1,
  DULGzipErrorCodeInflateFailed = 2,
};

// A gzip stream of data (window bits 31); nullopt and an error only when compression fails.
std::optional<platform::Data> dul_dataByGzippingData(const platform::Data& data, platform::Error* error = nullptr);

// The inflated bytes of gzip-compressed data; nullopt and an error when the data is empty,
// corrupt, truncated, or would inflate beyond 64 MiB.
std::optional<platform::Data> dul_dataByInflatingGzippedData(const platform::Data& data,
                                                             platform::Error* error = nullptr);
