#pragma once
// HTTP(S) transport over libcurl, and the process-wide reachability flag.
//
// Requests run on the client's own worker threads; the completion runs on one of those threads
// and should only hand the result to a queue. TLS peers and host names are always verified, and a
// redirect never leads an https request to plain http. Connections are kept open between requests
// and reused for the next request to the same server (for up to 30 s idle and 5 minutes in all);
// shutdown closes them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Object.h"

namespace platform {

// Transport failures use the platform's URL error domain and its familiar codes.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
enum URLErrorCode : int64_t {
  kURLErrorUnknown = -1,
  kURLErrorCancelled = -999,
  kURLErrorBadURL = -1000,
  kURLErrorTimedOut = -1001,
  kURLErrorUnsupportedURL = -1002,
  kURLErrorCannotFindHost = -1003,
  kURLErrorCannotConnectToHost = -1004,
  kURLErrorNetworkConnectionLost = -1005,
  kURLErrorNotConnectedToInternet = -1009,
  kURLErrorBadServerResponse = -1011,
  kURLErrorSecureConnectionFailed = -1200,
  kURLErrorServerCertificateUntrusted = -1202,
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";  // "GET" or "POST"
  std::string url;
  HttpHeaders headers;
  Data body;
  double timeoutSeconds = 60;  // whole request; <= 0 means 60
};

struct HttpResponse {
  long statusCode = 0;
  std::string url;
  HttpHeaders headers;  // in the order received; names as sent by the server
  // The first header called name, compared without regard to case.
  std::optional<std::string> header(const std::string& name) const;
};

// Adds one header line of a reply as the transport hands it over (line break included, leading
// and trailing space trimmed): a status line starts a new response, so only the last response's
// headers stay; a line without ":" adds nothing.
void appendHttpHeaderLine(HttpHeaders& headers, std::string_view line);

// Whether a request may carry the header: a name without separators, space or controls, and a
// value without CR, LF or NUL. A request with any other header is refused before it is sent.
bool isSafeHttpHeader(const std::pair<std::string, std::string>& header);

// A response (when the server answered, whatever its status), its body, and an error when the
// exchange failed at transport level. A non-2xx status is a response, not an error. A body over
// the client's limit gives both: the response (status and headers) with no body, and an error.
struct HttpResult {
  std::optional<HttpResponse> response;
  Data body;
  std::optional<Error> error;
};

class HttpClient {
 public:
  using Completion = std::function<void(HttpResult)>;
  static constexpr size_t kDefaultWorkers = 4;
  // Bodies beyond this are dropped and reported as an error: a server cannot fill our memory.
  static constexpr size_t kMaxResponseBytes = 64u * 1024u * 1024u;

  // trustedCertificatesFile: PEM certificates to trust instead of the system's (a collector with a
  // private authority); peers and host names are verified either way.
  explicit HttpClient(size_t workers = kDefaultWorkers, size_t maxResponseBytes = kMaxResponseBytes,
                      std::string trustedCertificatesFile = {});
  // shutdown(), then joins.
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The process-wide client; it lives until the process ends.
  static HttpClient& shared();

  // Queues the request; completion runs exactly once, on a worker thread. Returns false (and
  // does not call completion) only after the client has begun shutting down.
  bool send(HttpRequest request, Completion completion);

  // Requests queued or running.
  size_t pendingCount() const;

  // Refuses new requests and cancels the queued and running ones (their completions run with
  // kURLErrorCancelled); returns once every worker has stopped, except the calling one when a
  // completion shuts its own client down. Idempotent.
  void shutdown();

  // What the workers share with the client. Each worker holds it too, so a client destroyed from
  // one of its own completions leaves that worker something valid to finish with.
  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// Whether the network counts as reachable. Reachable by default; the host (or a test) flips it.
class Reachability {
 public:
  using Token = uint64_t;
  using Observer = std::function<void(bool reachable)>;

  static bool isReachable();
  // Observers run on the calling thread, outside any lock, only when the value changes.
  static void setReachable(bool reachable);
  static Token addObserver(Observer observer);
  static void removeObserver(Token token);
  // Reachable again, without telling observers (tests). Observers stay: their owners remove them.
  static void reset();
};

}  // namespace platform
