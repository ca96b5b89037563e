#pragma once
// A real HTTP server on 127.0.0.1 with an ephemeral port, for tests of the network layer.
// Every request is recorded; the reply comes from a handler the test sets.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct RecordedRequest {
  std::string method;
  std::string path;
  httplib::Headers headers;
  std::string body;
  int remotePort = -1;  // the client's side of the connection it came over

  std::string header(const std::string& name) const {
    auto it = headers.find(name);  // httplib compares header names without case
    return it == headers.end() ? std::string() : it->second;
  }
};

class LocalHttpServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  LocalHttpServer() {
    auto record = [this](const httplib::Request& request, httplib::Response& response) {
      Handler handler;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(RecordedRequest{request.method, request.path, request.headers, request.body,
                                            request.remote_port});
        handler = handler_;
      }
      if (handler) handler(request, response);
    };
    server_.Post(".*", record);
    server_.Get(".*", record);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  ~LocalHttpServer() { stop(); }

  void stop() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  int port() const { return port_; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  void setHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
  }

  std::vector<RecordedRequest> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  Handler handler_;
  std::vector<RecordedRequest> requests_;
};

// A local port that refuses connections for as long as this object lives: the socket is bound
// but never listens, so no other test can take the port meanwhile.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~RefusingPort() { if (fd_ >= 0) ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace testsupport
