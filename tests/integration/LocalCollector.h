#pragma once
// A collector on 127.0.0.1 that the engine uploads to and fetches its configuration from: it
// decodes every upload it receives, and the test adds its own routes before start().

#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../DirodaZovAridozovori/Engine/Upload/UploadTestSupport.h"

namespace integrationtest {

// The bundles of one upload.
using Upload = std::vector<std::shared_ptr<APMPBMeasurementBundle>>;

class Collector {
 public:
  // Reads bodies through a content reader: the server library would otherwise parse, and cap, a
  // body sent as form-encoded, which is the content type the upload declares.
  Collector() {
    server_.Post("/a", [this](const httplib::Request&, httplib::Response& response,
                              const httplib::ContentReader& reader) {
      platform::Data body;
      reader([&body](const char* bytes, size_t length) {
        body.insert(body.end(), bytes, bytes + length);
        return true;
      });
      Upload upload = uploadtest::uploadedBundles(body);
      std::function<void()> beforeReply;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        uploads_.push_back(upload);
        beforeReply = beforeReply_;
      }
      if (beforeReply) beforeReply();
      response.status = 200;
    });
  }

  // Runs after an upload was received and recorded, before it is answered (to hold the reply).
  void setBeforeReply(std::function<void()> beforeReply) {
    std::lock_guard<std::mutex> lock(mutex_);
    beforeReply_ = std::move(beforeReply);
  }
  ~Collector() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
    APMRemoteConfigNetwork::setAnalyticsServiceScheme("https");
  }

  httplib::Server& server() { return server_; }

  // Listens, and points the engine's fetches and uploads here until the collector is gone.
  void start() {
    // The transport keeps its connections open: close idle ones at once, or stopping waits them out.
    server_.set_keep_alive_timeout(0);
    const int port = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    APMRemoteConfigNetwork::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(port));
    APMRemoteConfigNetwork::setAnalyticsServiceScheme("http");
  }

  std::vector<Upload> uploads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return uploads_;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Upload> uploads_;
  std::function<void()> beforeReply_;
};

// The events of an upload's bundles, in order.
inline std::vector<std::shared_ptr<APMPBEvent>> eventsOf(const Upload& upload) {
  std::vector<std::shared_ptr<APMPBEvent>> events;
  for (const auto& bundle : upload) {
    auto some = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, APMPBMeasurementBundle::kEvents);
    if (some) events.insert(events.end(), some->begin(), some->end());
  }
  return events;
}

inline std::string nameOf(const APMPBEvent& event) { return APMNanoGetString(event, APMPBEvent::kName).value_or(""); }

}  // namespace integrationtest
