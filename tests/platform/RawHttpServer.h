#pragma once
// An HTTP/1.1 server on 127.0.0.1 on bare sockets, so a test counts connections and decides when
// each one ends. It serves one connection at a time and answers every request "ok"; it reads only
// heads, so a body must not hold an empty line.

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "LoopbackListener.h"

namespace testsupport {

class RawHttpServer {
 public:
  enum class Ending {
    Never,            // keeps each connection until the client closes it
    ConnectionClose,  // says "Connection: close" in its reply and closes
    Silent,           // keeps the connection after a reply, then closes it unanswered when the
                      // next request comes over it (a server whose keep-alive time just ran out)
  };

  explicit RawHttpServer(Ending ending) : ending_(ending), listener_(listenOnLoopback(8, port_)) {
    thread_ = std::thread([this] { serve(); });
  }
  // Only once the client has closed its connections: the server may be reading one.
  ~RawHttpServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  int connections() const { return connections_.load(); }
  int answered() const { return answered_.load(); }
  int closedByClient() const { return closedByClient_.load(); }

 private:
  void serve() {
    int connection;
    while ((connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
      ++connections_;
      std::string pending;
      for (int served = 0;; ++served) {
        size_t end;
        char buffer[4096];
        ssize_t n = 1;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos &&
               (n = ::recv(connection, buffer, sizeof buffer, 0)) > 0) {
          pending.append(buffer, static_cast<size_t>(n));
        }
        if (n <= 0) {
          ++closedByClient_;
          break;
        }
        pending.erase(0, end + 4);
        if (ending_ == Ending::Silent && served == 1) break;
        std::string reply = ending_ == Ending::ConnectionClose ? "HTTP/1.1 200 OK\r\nConnection: close\r\n"
                                                               : "HTTP/1.1 200 OK\r\n";
        reply += "Content-Length: 2\r\n\r\nok";
        ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        ++answered_;
        if (ending_ == Ending::ConnectionClose) break;
      }
      ::close(connection);
    }
  }

  const Ending ending_;
  int port_ = 0;  // set by listener_'s initialisation
  const int listener_;
  std::atomic<int> connections_{0};
  std::atomic<int> answered_{0};
  std::atomic<int> closedByClient_{0};
  std::thread thread_;
};

}  // namespace testsupport
