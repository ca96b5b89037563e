#include "VIZUzedaru.h"

#include <strings.h>
#include <unistd.h>

#include "NSData/NSData+DULGzip.h"

struct VIZUzedaru::State {
  mutable std::mutex mutex;  // guards the delegates and settings below
  std::weak_ptr<VIZUzedaruLoggerDelegate> logger;
  std::weak_ptr<VIZUzedaruReachabilityDelegate> reachability;
  bool debugMode = false;
  double timeoutInterval = kDefaultTimeoutInterval;
  std::atomic<int> inFlight{0};

  std::shared_ptr<VIZUzedaruLoggerDelegate> loggerDelegate() const {
    std::lock_guard<std::mutex> lock(mutex);
    return logger.lock();
  }

  void log(DULLoggerLevel level, int64_t code, const std::string& message, const platform::Object& context) const {
    if (auto delegate = loggerDelegate()) delegate->VIZUzedaru_logWithLevel(level, code, message, context);
  }
};

namespace {

bool hasPrefixIgnoringCase(const std::string& s, const char* prefix) {
  size_t n = std::char_traits<char>::length(prefix);
  return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

bool isHttpURL(const std::string& url) {
  if (!hasPrefixIgnoringCase(url, "http://") && !hasPrefixIgnoringCase(url, "https://")) return false;
  return !VIZUzedaru::hostOfURL(url).empty();
}

std::string newSessionIdentifier() {
  static std::atomic<uint64_t> counter{0};
  return "com.dul.network.session." + std::to_string(::getpid()) + "." + std::to_string(++counter);
}

void deliverFailure(const std::shared_ptr<platform::DispatchQueue>& queue, VIZUzedaru::Completion completion,
                    platform::Error error) {
  if (!completion) return;
  queue->async([completion = std::move(completion), error = std::move(error)] {
    completion(std::nullopt, platform::Data{}, error);
  });
}

}  // namespace

VIZUzedaru::VIZUzedaru(std::string reachabilityHost, platform::HttpClient* transport)
    : reachabilityHost_(std::move(reachabilityHost)),
      transport_(transport ? transport : &platform::HttpClient::shared()),
      state_(std::make_shared<State>()) {
  std::weak_ptr<State> weakState = state_;
  reachabilityToken_ = platform::Reachability::addObserver([weakState](bool) {
    auto state = weakState.lock();
    if (!state) return;
    std::shared_ptr<VIZUzedaruReachabilityDelegate> delegate;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      delegate = state->reachability.lock();
    }
    if (delegate) delegate->reachabilityDidChange();
  });
}

VIZUzedaru::~VIZUzedaru() { platform::Reachability::removeObserver(reachabilityToken_); }

void VIZUzedaru::setLoggerDelegate(std::weak_ptr<VIZUzedaruLoggerDelegate> delegate) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->logger = std::move(delegate);
}

void VIZUzedaru::setReachabilityDelegate(std::weak_ptr<VIZUzedaruReachabilityDelegate> delegate) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->reachability = std::move(delegate);
}

void VIZUzedaru::setIsDebugModeEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->debugMode = enabled;
}

bool VIZUzedaru::isDebugModeEnabled() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->debugMode;
}

void VIZUzedaru::setTimeoutInterval(double seconds) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->timeoutInterval = seconds > 0 ? seconds : kDefaultTimeoutInterval;
}

double VIZUzedaru::timeoutInterval() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->timeoutInterval;
}

bool VIZUzedaru::isNetworkConnected() const { return platform::Reachability::isReachable(); }

bool VIZUzedaru::hasUploadInProgress() const { return state_->inFlight.load() > 0; }

std::optional<std::string> VIZUzedaru::postURL(const std::string& url, const Headers& headers,
                                               const platform::Data& payload,
                                               std::shared_ptr<platform::DispatchQueue> queue,
                                               bool usingBackgroundSession, Completion completionHandler) {
  if (!queue) queue = platform::DispatchQueue::main();
  platform::Data body;
  if (isHttpURL(url)) {
    platform::Error gzipError;
    auto compressed = dul_dataByGzippingData(payload, &gzipError);
    if (!compressed) {
      platform::Error error(kVIZUzedaruErrorDomain, VIZUzedaruErrorCodeGzipFailed,
                            "Failed to compress the payload: " + gzipError.description);
      state_->log(DULLoggerLevel::kError, VIZUzedaruMessageCodeRequestNotStarted, "Cannot start the request. Error",
                  error.description);
      deliverFailure(queue, std::move(completionHandler), std::move(error));
      return std::nullopt;
    }
    body = std::move(*compressed);
  }
  return postBody(url, headers, std::move(body), std::move(queue), std::move(completionHandler));
}

std::optional<std::string> VIZUzedaru::postGzippedURL(const std::string& url, const Headers& headers,
                                                      platform::Data gzippedPayload,
                                                      std::shared_ptr<platform::DispatchQueue> queue, bool,
                                                      Completion completionHandler) {
  if (!queue) queue = platform::DispatchQueue::main();
  return postBody(url, headers, std::move(gzippedPayload), std::move(queue), std::move(completionHandler));
}

std::optional<std::string> VIZUzedaru::postBody(const std::string& url, const Headers& headers, platform::Data body,
                                                std::shared_ptr<platform::DispatchQueue> queue,
                                                Completion completionHandler) {
  platform::HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.body = std::move(body);
  // Our three fields describe the body we actually send, so they win over the caller's.
  for (const auto& header : headers) {
    const char* name = header.first.c_str();
    if (strcasecmp(name, "Content-Length") == 0 || strcasecmp(name, "Content-Type") == 0 ||
        strcasecmp(name, "Content-Encoding") == 0) {
      continue;
    }
    request.headers.push_back(header);
  }
  request.headers.emplace_back("Content-Length", std::to_string(request.body.size()));
  request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  request.headers.emplace_back("Content-Encoding", "gzip");
  return start(std::move(request), std::move(queue), std::move(completionHandler), VIZUzedaruMessageCodeUploadStarted,
               "Uploading data. Host");
}

std::optional<std::string> VIZUzedaru::postURL(const std::string& url, const platform::Data& payload,
                                               std::shared_ptr<platform::DispatchQueue> queue,
                                               bool usingBackgroundSession, Completion completionHandler) {
  return postURL(url, Headers{}, payload, std::move(queue), usingBackgroundSession, std::move(completionHandler));
}

std::optional<std::string> VIZUzedaru::getURL(const std::string& url, const Headers& headers,
                                              std::shared_ptr<platform::DispatchQueue> queue,
                                              bool usingBackgroundSession, Completion completionHandler) {
  if (!queue) queue = platform::DispatchQueue::main();
  platform::HttpRequest request;
  request.method = "GET";
  request.url = url;
  request.headers = headers;
  return start(std::move(request), std::move(queue), std::move(completionHandler),
               VIZUzedaruMessageCodeDownloadStarted, "Downloading data. Host");
}

std::optional<std::string> VIZUzedaru::start(platform::HttpRequest request,
                                             std::shared_ptr<platform::DispatchQueue> queue, Completion completion,
                                             int64_t startMessageCode, const std::string& startMessage) {
  if (!isHttpURL(request.url)) {
    platform::Error error(kVIZUzedaruErrorDomain, VIZUzedaruErrorCodeInvalidURL,
                          request.url.empty() ? "The URL is empty" : "The URL is not an http(s) URL");
    state_->log(DULLoggerLevel::kError, VIZUzedaruMessageCodeRequestNotStarted, "Cannot start the request. Error",
                error.description);
    deliverFailure(queue, std::move(completion), std::move(error));
    return std::nullopt;
  }
  request.timeoutSeconds = timeoutInterval();
  std::string host = hostOfURL(request.url);
  std::string sessionID = newSessionIdentifier();

  auto state = state_;
  state->inFlight.fetch_add(1);
  auto onResult = [state, queue, completion](platform::HttpResult result) {
    auto shared = std::make_shared<platform::HttpResult>(std::move(result));
    queue->async([state, shared, completion] {
      state->inFlight.fetch_sub(1);
      if (shared->error) {
        state->log(DULLoggerLevel::kWarning, VIZUzedaruMessageCodeRequestFailed, "Request failed. Error",
                   shared->error->description);
      } else if (shared->response) {
        state->log(DULLoggerLevel::kDebug, VIZUzedaruMessageCodeResponseReceived, "Received response. Status code",
                   static_cast<int64_t>(shared->response->statusCode));
      }
      if (completion) completion(shared->response, shared->body, shared->error);
    });
  };
  state->log(DULLoggerLevel::kDebug, startMessageCode, startMessage, host);
  if (!transport_->send(std::move(request), onResult)) {
    state->inFlight.fetch_sub(1);
    platform::Error error(kVIZUzedaruErrorDomain, VIZUzedaruErrorCodeRequestNotStarted,
                          "The transport refused the request");
    state->log(DULLoggerLevel::kError, VIZUzedaruMessageCodeRequestNotStarted, "Cannot start the request. Error",
               error.description);
    deliverFailure(queue, std::move(completion), std::move(error));
    return std::nullopt;
  }
  return sessionID;
}

void VIZUzedaru::handleEventsForBackgroundURLSessionID(const std::string&, std::function<void()> completion) {
  if (!completion) return;
  platform::DispatchQueue::main()->async(std::move(completion));
}

std::string VIZUzedaru::hostOfURL(const std::string& url) {
  auto scheme = url.find("://");
  if (scheme == std::string::npos) return {};
  size_t begin = scheme + 3;
  size_t end = url.find_first_of("/?#", begin);
  std::string authority = url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  auto at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    auto close = authority.find(']');
    return close == std::string::npos ? std::string() : authority.substr(1, close - 1);
  }
  auto colon = authority.find(':');
  if (colon != std::string::npos) authority.resize(colon);
  return authority;
}
