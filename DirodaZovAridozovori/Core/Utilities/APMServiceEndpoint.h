#pragma once
// A service's host and scheme as the host program deploys them: set before the SDK starts, read
// by whichever queue builds a request. Guarded by its own mutex. An empty value restores the
// default, so a service is never asked at "://".

#include <mutex>
#include <string>
#include <utility>

class APMServiceEndpoint {
 public:
  explicit APMServiceEndpoint(std::string defaultHost, std::string defaultScheme = "https")
      : defaultHost_(std::move(defaultHost)), defaultScheme_(std::move(defaultScheme)) {}

  void setHost(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = host.empty() ? defaultHost_ : host;
  }
  std::string host() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_;
  }
  void setScheme(const std::string& scheme) {
    std::lock_guard<std::mutex> lock(mutex_);
    scheme_ = scheme.empty() ? defaultScheme_ : scheme;
  }
  std::string scheme() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scheme_;
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = defaultHost_;
    scheme_ = defaultScheme_;
  }

 private:
  const std::string defaultHost_;
  const std::string defaultScheme_;
  mutable std::mutex mutex_;
  std::string host_ = defaultHost_;
  std::string scheme_ = defaultScheme_;
};
