#pragma once
// The SDK's HTTP client: gzip-compressed POSTs and plain GETs, with a logger delegate and a
// reachability delegate. Used by the measurement engine (uploads, configuration fetch) and by
// experimentation.
//
// Completion contract: every request's completion runs exactly once, asynchronously, on the queue
// the caller gives (the main queue when none is given) — also when the request could not be
// started, so callers never see their completion run inside the call that started it. The
// in-progress flag is cleared before the completion runs.
//
// Thread-safe: settings and requests may be used from any thread. Delegates are held weakly.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Logger/DULLogger.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Http.h"
#include "platform/Object.h"

inline constexpr const char* kVIZUzedaruErrorDomain = "com.dul.network.ErrorDomain";
enum VIZUzedaruErrorCode : int64_t {
  VIZUzedaruErrorCodeInvalidURL = 1,         // empty or not an http(s) URL
  VIZUzedaruErrorCodeGzipFailed = 3,         // the body could not be compressed
  VIZUzedaruErrorCodeRequestNotStarted = 4,  // no request or session could be made
};

enum VIZUzedaruMessageCode : int64_t {
  VIZUzedaruMessageCodeUploadStarted = 900000,
  VIZUzedaruMessageCodeDownloadStarted = 900001,
  VIZUzedaruMessageCodeRequestNotStarted = 900002,
  VIZUzedaruMessageCodeResponseReceived = 900003,
  VIZUzedaruMessageCodeRequestFailed = 900004,
};

class VIZUzedaruLoggerDelegate {
 public:
  virtual ~VIZUzedaruLoggerDelegate() = default;
  virtual void VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode, const std::string& message) = 0;
  virtual void VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode, const std::string& message,
                                       const platform::Object& context) = 0;
  virtual void VIZUzedaru_logWithLevel(DULLoggerLevel level, int64_t messageCode, const std::string& message,
                                       const platform::Array& contexts) = 0;
};

class VIZUzedaruReachabilityDelegate {
 public:
  virtual ~VIZUzedaruReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

class VIZUzedaru {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;
  // The response when the server answered (any status), the response body, and an error when the
  // request failed to start or at transport level.
  using Completion = std::function<void(const std::optional<platform::HttpResponse>& response,
                                        const platform::Data& data, const std::optional<platform::Error>& error)>;
  static constexpr double kDefaultTimeoutInterval = 60;

  // Watches reachability for host; requests go through transport (the shared transport by
  // default; tests may hand in their own, which must outlive this client's requests).
  explicit VIZUzedaru(std::string reachabilityHost, platform::HttpClient* transport = nullptr);
  ~VIZUzedaru();
  VIZUzedaru(const VIZUzedaru&) = delete;
  VIZUzedaru& operator=(const VIZUzedaru&) = delete;

  const std::string& reachabilityHost() const { return reachabilityHost_; }

  void setLoggerDelegate(std::weak_ptr<VIZUzedaruLoggerDelegate> delegate);
  void setReachabilityDelegate(std::weak_ptr<VIZUzedaruReachabilityDelegate> delegate);
  void setIsDebugModeEnabled(bool enabled);
  bool isDebugModeEnabled() const;
  // Seconds for a whole request; 0 (or less) means 60.
  void setTimeoutInterval(double seconds);
  double timeoutInterval() const;

  // Whether reachability says the network can be reached.
  bool isNetworkConnected() const;
  // Whether a request of this client is in flight (its completion has not started yet).
  bool hasUploadInProgress() const;

  // POSTs the gzip-compressed payload with headers plus "Content-Length", "Content-Type"
  // "application/x-www-form-urlencoded" and "Content-Encoding" "gzip" (these three replace
  // same-named caller headers). Returns a non-empty session identifier when the request started,
  // else nullopt (the completion then carries the error).
  std::optional<std::string> postURL(const std::string& url, const Headers& headers, const platform::Data& payload,
                                     std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                                     Completion completionHandler);
  std::optional<std::string> postURL(const std::string& url, const platform::Data& payload,
                                     std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                                     Completion completionHandler);
  // postURL for a payload the caller has already gzip-compressed (a whole gzip stream), so the
  // compression can run on a thread of the caller's choosing; the same headers and contract.
  std::optional<std::string> postGzippedURL(const std::string& url, const Headers& headers,
                                            platform::Data gzippedPayload,
                                            std::shared_ptr<platform::DispatchQueue> queue,
                                            bool usingBackgroundSession, Completion completionHandler);
  // GETs url with headers (none when empty); the same completion contract.
  std::optional<std::string> getURL(const std::string& url, const Headers& headers,
                                    std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                                    Completion completionHandler);

  // Hands the system's background-session events to the client. Transfers here never outlive the
  // process, so there is nothing to resume: the completion runs on the main queue.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID, std::function<void()> completion);

  // The host part of an http(s) URL ("" when there is none).
  static std::string hostOfURL(const std::string& url);

  struct State;

 private:
  std::optional<std::string> postBody(const std::string& url, const Headers& headers, platform::Data body,
                                      std::shared_ptr<platform::DispatchQueue> queue, Completion completionHandler);
  std::optional<std::string> start(platform::HttpRequest request, std::shared_ptr<platform::DispatchQueue> queue,
                                   Completion completion, int64_t startMessageCode, const std::string& startMessage);

  const std::string reachabilityHost_;
  platform::HttpClient* transport_;
  std::shared_ptr<State> state_;
  uint64_t reachabilityToken_ = 0;
};
