#include "platform/Http.h"

#include <curl/curl.h>
#include <strings.h>

#include <atomic>
#include <cctype>
#include <chrono>

namespace platform {

namespace {

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

Error urlError(int64_t code, const std::string& description, long curlCode = 0) {
  Dictionary info;
  if (curlCode != 0) info["curlCode"] = static_cast<int64_t>(curlCode);
  return Error(kURLErrorDomain, code, description, std::move(info));
}

int64_t urlErrorCodeFor(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
      return kURLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kURLErrorUnsupportedURL;
    case CURLE_OPERATION_TIMEDOUT:
      return kURLErrorTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return kURLErrorCannotConnectToHost;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return kURLErrorNetworkConnectionLost;
    case CURLE_SSL_CONNECT_ERROR:
      return kURLErrorSecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return kURLErrorServerCertificateUntrusted;
    case CURLE_ABORTED_BY_CALLBACK:
      return kURLErrorCancelled;
    case CURLE_WRITE_ERROR:
    case CURLE_WEIRD_SERVER_REPLY:
      return kURLErrorBadServerResponse;
    default:
      return kURLErrorUnknown;
  }
}

bool isHttpsURL(const std::string& url) {
  return url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0;
}

std::string trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

struct Transfer {
  size_t maxBytes = 0;
  Data body;
  HttpHeaders headers;
  bool overflow = false;
  const std::atomic<bool>* stopping = nullptr;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t bytes = size * count;
  if (transfer->body.size() + bytes > transfer->maxBytes) {
    transfer->overflow = true;
    return 0;  // makes curl fail the transfer with a write error
  }
  transfer->body.insert(transfer->body.end(), data, data + bytes);
  return bytes;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t bytes = size * count;
  appendHttpHeaderLine(transfer->headers, std::string_view(data, bytes));
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(user);
  return transfer->stopping->load() ? 1 : 0;
}


// Kept connections. Uploads post batch after batch to the collector, each as soon as the previous
// reply is in, and a configuration fetch is usually followed by an upload within seconds; reusing
// the connection saves a TCP (and over https a TLS) handshake per request.
//
// A connection idle this long is closed rather than reused: long enough for batches sent back to
// back and a fetch followed by its upload, and shorter than the keep-alive time of common servers
// and load balancers (60 s and more), so a reused connection has rarely been dropped on their side.
constexpr long kMaxIdleConnectionSeconds = 30;
// A connection is not reused past this age, however busy: the collector's name is looked up again
// and a long session does not stay pinned to one server behind a load balancer.
constexpr long kMaxConnectionLifetimeSeconds = 300;
// Connections one transfer handle keeps: the collector and the configuration host.
constexpr long kConnectionsPerHandle = 2;

using Clock = std::chrono::steady_clock;

HttpResult perform(const HttpRequest& request, const HttpClient::Shared& client, CURL* curl);

}  // namespace

struct HttpClient::Shared {
  struct Job {
    HttpRequest request;
    Completion completion;
  };

  // A transfer handle not in use, with the connections it keeps, and since when it is idle.
  struct IdleHandle {
    CURL* curl;
    Clock::time_point since;
  };

  Shared(size_t maxBytes, std::string certificates)
      : maxResponseBytes(maxBytes), trustedCertificatesFile(std::move(certificates)) {}
  ~Shared() {
    for (auto& idle : idleHandles) curl_easy_cleanup(idle.curl);
  }

  mutable std::mutex mutex;  // guards everything below but stopFlag
  std::condition_variable wake;
  std::deque<Job> jobs;
  size_t running = 0;
  bool stopping = false;
  std::vector<std::thread> workers;
  // Any worker may take any handle. The one used last is taken first, so requests sent one after
  // the other go over one connection, whichever worker runs them. Oldest first; emptied on shutdown.
  std::vector<IdleHandle> idleHandles;
  // Read by transfers in flight, so shutdown aborts them instead of waiting out their time-out.
  std::atomic<bool> stopFlag{false};
  const size_t maxResponseBytes;
  const std::string trustedCertificatesFile;
};

namespace {

// Removes the handles idle for longer than a connection may be (their connections are of no use
// any more) so the caller closes them outside the lock.
std::vector<CURL*> takeExpiredHandles(HttpClient::Shared& shared, Clock::time_point now) {
  std::vector<CURL*> expired;
  auto& idle = shared.idleHandles;
  auto limit = std::chrono::seconds(kMaxIdleConnectionSeconds);
  auto end = idle.begin();
  while (end != idle.end() && now - end->since >= limit) expired.push_back((end++)->curl);
  idle.erase(idle.begin(), end);
  return expired;
}

void closeHandles(const std::vector<CURL*>& handles) {
  for (CURL* curl : handles) curl_easy_cleanup(curl);
}

void workerLoop(const std::shared_ptr<HttpClient::Shared>& shared) {
  while (true) {
    HttpClient::Shared::Job job;
    CURL* curl = nullptr;
    std::vector<CURL*> expired;
    {
      std::unique_lock<std::mutex> lock(shared->mutex);
      while (!shared->stopping && shared->jobs.empty()) {
        if (shared->idleHandles.empty()) {
          shared->wake.wait(lock);
          continue;
        }
        // Idle connections are closed once too old even when no request comes to find them.
        auto oldest = shared->idleHandles.front().since;
        if (shared->wake.wait_until(lock, oldest + std::chrono::seconds(kMaxIdleConnectionSeconds)) ==
            std::cv_status::timeout) {
          expired = takeExpiredHandles(*shared, Clock::now());
          lock.unlock();
          closeHandles(expired);
          expired.clear();
          lock.lock();
        }
      }
      if (shared->jobs.empty()) return;  // stopping
      job = std::move(shared->jobs.front());
      shared->jobs.pop_front();
      ++shared->running;
      expired = takeExpiredHandles(*shared, Clock::now());
      if (!shared->idleHandles.empty()) {
        curl = shared->idleHandles.back().curl;
        shared->idleHandles.pop_back();
      }
    }
    closeHandles(expired);
    if (!curl) curl = curl_easy_init();
    HttpResult result = perform(job.request, *shared, curl);
    if (curl) {
      // Back before the completion runs, so the request it leads to finds the connection.
      std::unique_lock<std::mutex> lock(shared->mutex);
      if (shared->stopping) {
        lock.unlock();
        curl_easy_cleanup(curl);
      } else {
        shared->idleHandles.push_back({curl, Clock::now()});
      }
    }
    if (job.completion) {
      try {
        job.completion(std::move(result));
      } catch (...) {
        // A completion's exception must not take the worker (and every later request) down.
      }
    }
    // Released here, before the next request: the completion may hold the last reference to
    // whatever owns this client.
    job = {};
    std::lock_guard<std::mutex> lock(shared->mutex);
    --shared->running;
  }
}

}  // namespace

void appendHttpHeaderLine(HttpHeaders& headers, std::string_view line) {
  // A new status line starts a new response (a redirect or an interim 100): keep only the last.
  if (line.starts_with("HTTP/")) {
    headers.clear();
    return;
  }
  auto colon = line.find(':');
  if (colon == std::string_view::npos) return;
  headers.emplace_back(trim(std::string(line.substr(0, colon))), trim(std::string(line.substr(colon + 1))));
}

// CR or LF in a header would let a caller's value smuggle extra headers or a second request.
bool isSafeHttpHeader(const std::pair<std::string, std::string>& header) {
  if (header.first.empty()) return false;
  for (char c : header.first) {
    if (c == ':' || std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return header.second.find_first_of("\r\n", 0) == std::string::npos &&
         header.second.find('\0') == std::string::npos;
}

std::optional<std::string> HttpResponse::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return std::nullopt;
}

HttpClient::HttpClient(size_t workers, size_t maxResponseBytes, std::string trustedCertificatesFile)
    : shared_(std::make_shared<Shared>(maxResponseBytes, std::move(trustedCertificatesFile))) {
  initializeCurlOnce();
  if (workers == 0) workers = 1;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  for (size_t i = 0; i < workers; ++i) shared_->workers.emplace_back([shared = shared_] { workerLoop(shared); });
}

HttpClient::~HttpClient() { shutdown(); }

void HttpClient::shutdown() {
  std::deque<Shared::Job> abandoned;
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    abandoned.swap(shared_->jobs);
    workers.swap(shared_->workers);
  }
  shared_->stopFlag.store(true);
  shared_->wake.notify_all();
  for (auto& worker : workers) {
    // A completion that shuts its own client down must not wait for itself.
    if (worker.get_id() == std::this_thread::get_id()) {
      worker.detach();
    } else {
      worker.join();
    }
  }
  // No connection outlives the client's work. Workers still running hand theirs back closed.
  std::vector<CURL*> kept;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    for (auto& idle : shared_->idleHandles) kept.push_back(idle.curl);
    shared_->idleHandles.clear();
  }
  closeHandles(kept);
  for (auto& job : abandoned) {
    HttpResult result;
    result.error = urlError(kURLErrorCancelled, "cancelled");
    if (job.completion) job.completion(std::move(result));
  }
}

HttpClient& HttpClient::shared() {
  // Never destroyed: requests may still complete while the process exits.
  static HttpClient* client = new HttpClient();
  return *client;
}

bool HttpClient::send(HttpRequest request, Completion completion) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stopping) return false;
    shared_->jobs.push_back(Shared::Job{std::move(request), std::move(completion)});
  }
  shared_->wake.notify_one();
  return true;
}

size_t HttpClient::pendingCount() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->jobs.size() + shared_->running;
}

namespace {

// Runs the request on curl, a handle that may keep connections from earlier requests: every
// option is set anew, nothing of an earlier request's carries over but its open connections.
HttpResult perform(const HttpRequest& request, const HttpClient::Shared& client, CURL* curl) {
  HttpResult result;
  if (request.url.empty()) {
    result.error = urlError(kURLErrorBadURL, "empty URL");
    return result;
  }
  if (request.method != "GET" && request.method != "POST") {
    result.error = urlError(kURLErrorUnsupportedURL, "unsupported method " + request.method);
    return result;
  }
  curl_slist* headerList = nullptr;
  for (const auto& header : request.headers) {
    if (!isSafeHttpHeader(header)) {
      curl_slist_free_all(headerList);
      result.error = urlError(kURLErrorBadURL, "invalid header field " + header.first);
      return result;
    }
    headerList = curl_slist_append(headerList, (header.first + ": " + header.second).c_str());
  }
  // Without this curl waits for a 100 Continue before sending larger bodies.
  headerList = curl_slist_append(headerList, "Expect:");

  if (!curl) {
    curl_slist_free_all(headerList);
    result.error = urlError(kURLErrorUnknown, "cannot create a transfer");
    return result;
  }
  Transfer transfer;
  transfer.maxBytes = client.maxResponseBytes;
  transfer.stopping = &client.stopFlag;
  long timeoutMs = static_cast<long>((request.timeoutSeconds > 0 ? request.timeoutSeconds : 60) * 1000);

  // Forgets the previous request's options (and pointers into its data); connections stay.
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kMaxIdleConnectionSeconds);
  curl_easy_setopt(curl, CURLOPT_MAXLIFETIME_CONN, kMaxConnectionLifetimeSeconds);
  curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, kConnectionsPerHandle);
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // A redirect may upgrade to https, never leave it: what was sent encrypted stays encrypted.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, isHttpsURL(request.url) ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!client.trustedCertificatesFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, client.trustedCertificatesFile.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  if (request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
  } else {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  }

  CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  char* effectiveUrl = nullptr;
  curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effectiveUrl);

  if (code == CURLE_OK) {
    HttpResponse response;
    response.statusCode = status;
    response.url = effectiveUrl ? effectiveUrl : request.url;
    response.headers = std::move(transfer.headers);
    result.response = std::move(response);
    result.body = std::move(transfer.body);
  } else if (transfer.overflow) {
    // The server did answer: its status and headers stand, only the body is dropped.
    HttpResponse response;
    response.statusCode = status;
    response.url = effectiveUrl ? effectiveUrl : request.url;
    response.headers = std::move(transfer.headers);
    result.response = std::move(response);
    result.error = urlError(kURLErrorBadServerResponse, "response body too large", code);
  } else {
    result.error = urlError(urlErrorCodeFor(code), curl_easy_strerror(code), code);
  }
  curl_slist_free_all(headerList);
  return result;
}

}  // namespace

// ---- Reachability ----

namespace {

struct ReachabilityState {
  std::mutex mutex;
  bool reachable = true;
  Reachability::Token nextToken = 1;
  std::map<Reachability::Token, std::shared_ptr<Reachability::Observer>> observers;
};

ReachabilityState& reachability() {
  static ReachabilityState* state = new ReachabilityState();
  return *state;
}

}  // namespace

bool Reachability::isReachable() {
  auto& s = reachability();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.reachable;
}

void Reachability::setReachable(bool reachable) {
  auto& s = reachability();
  std::vector<std::shared_ptr<Observer>> toNotify;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.reachable == reachable) return;
    s.reachable = reachable;
    for (const auto& [token, observer] : s.observers) toNotify.push_back(observer);
  }
  for (const auto& observer : toNotify) (*observer)(reachable);
}

Reachability::Token Reachability::addObserver(Observer observer) {
  auto& s = reachability();
  std::lock_guard<std::mutex> lock(s.mutex);
  Token token = s.nextToken++;
  s.observers[token] = std::make_shared<Observer>(std::move(observer));
  return token;
}

void Reachability::removeObserver(Token token) {
  auto& s = reachability();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.observers.erase(token);
}

void Reachability::reset() {
  auto& s = reachability();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.reachable = true;
}

}  // namespace platform
