// A host application built outside the SDK's tree against an installed SDK, as a user builds one:
// it includes only installed headers and links only the installed library. It logs one event and
// runs its main queue until a collector embedded here on 127.0.0.1 has received that event and one
// a companion component logged through the interop interface. Then,
// when given the README's host program (built the same way), it runs that program against the same
// collector, which answers its first launch with a deferred deep link.
//
// Usage: package-host RESOURCE_DIRECTORY [README_HOST]
// Exit status 0 when one upload carried the event exactly once, the companion's event arrived once,
// and the README's host handed the
// deferred deep link to its handler, having asked for it with its advertising identity.
#include <httplib.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DUDUravodazo.h"
#include "DUDUravodazoInterop.h"
#include "ROREzo.h"
#include "platform/DispatchQueue.h"

namespace {

constexpr const char* kEventName = "installed_package_check";
constexpr const char* kCompanionEventName = "companion_package_check";
constexpr double kGiveUpSeconds = 60;
// What the README's host gives as its advertising identity, and the link it is to be handed.
constexpr const char* kReadmeAdvertisingID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kDeferredLink = "myapp://promo?utm_source=package";

// A measurement configuration holding only the app ID (field 2, length-delimited): the SDK applies
// a configuration only for its own app, and uploads only once it holds one.
std::string configurationFor(const std::string& appID) {
  std::string body = "\x12";
  for (size_t length = appID.size(); ; length >>= 7) {
    const unsigned char low = length & 0x7f;
    if (length < 0x80) {
      body.push_back(static_cast<char>(low));
      break;
    }
    body.push_back(static_cast<char>(low | 0x80));
  }
  return body + appID;
}

// The body gunzipped ("" when that fails). The server library inflates a body it was told is gzip
// by itself, which leaves it plain here.
std::string gunzip(const std::string& body) {
  if (body.size() < 2 || body[0] != '\x1f' || body[1] != '\x8b') return body;
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return "";
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = static_cast<uInt>(body.size());
  std::string inflated;
  char buffer[16384];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    status = inflate(&stream, Z_NO_FLUSH);
    inflated.append(buffer, sizeof(buffer) - stream.avail_out);
  }
  inflateEnd(&stream);
  return status == Z_STREAM_END ? inflated : "";
}

size_t occurrences(const std::string& text, const std::string& word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size())) ++count;
  return count;
}

std::string temporaryDirectory(const char* name) {
  std::string directory = (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
  return mkdtemp(directory.data()) ? directory : "";
}

// Runs the README's host with its own data directory; true when it exited with status 0.
bool runReadmeHost(const std::string& program, const std::string& resources, int port) {
  const std::string dataDirectory = temporaryDirectory("readme-host");
  if (dataDirectory.empty()) return false;
  const std::string command = "XDG_DATA_HOME='" + dataDirectory + "' '" + program + "' '" + resources +
                              "' 127.0.0.1:" + std::to_string(port) + " http -DUDUravodazoDebugEnabled";
  const int status = std::system(command.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(dataDirectory, ignored);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: package-host RESOURCE_DIRECTORY [README_HOST]\n");
    return 2;
  }
  std::atomic<int> uploadsWithEvent{0};
  std::atomic<size_t> lastCount{0};
  std::atomic<size_t> companionEvents{0};
  httplib::Server collector;
  collector.Get(R"(/config/app/(.+))", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(configurationFor(request.matches[1]), "application/x-protobuf");
  });
  // A content reader keeps the server from parsing the body as the form its content type claims.
  collector.Post("/a", [&](const httplib::Request&, httplib::Response& response, const httplib::ContentReader& reader) {
    std::string body;
    reader([&body](const char* bytes, size_t length) {
      body.append(bytes, length);
      return true;
    });
    const std::string batch = gunzip(body);
    companionEvents += occurrences(batch, kCompanionEventName);
    const size_t count = occurrences(batch, kEventName);
    if (count > 0) {
      lastCount = count;
      ++uploadsWithEvent;
    }
    response.status = 204;
  });
  std::mutex deferredMutex;
  std::vector<std::string> deferredAdvertisingIDs;  // guarded by deferredMutex
  collector.Get("/pagead/conversion/app/deeplink", [&](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard<std::mutex> lock(deferredMutex);
      deferredAdvertisingIDs.push_back(request.get_param_value("rdid"));
    }
    response.set_content(std::string(R"({"deeplink": ")") + kDeferredLink + R"(", "timestamp": 1})",
                         "application/json");
  });
  // The SDK keeps its connections open: close idle ones at once, or stopping waits them out.
  collector.set_keep_alive_timeout(0);
  const int port = collector.bind_to_any_port("127.0.0.1");
  if (port < 0) {
    std::fprintf(stderr, "package host: cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::thread serving([&] { collector.listen_after_bind(); });
  while (!collector.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  const std::string dataDirectory = temporaryDirectory("package-host");
  if (dataDirectory.empty()) return 1;
  DUDUravodazoSetup setup;
  setup.dataDirectory = dataDirectory;
  setup.resourceDirectory = argv[1];
  setup.application = {"com.example.companion", "1.0.0", ""};
  // Debug mode uploads about a second after the event.
  setup.launchArguments = {argv[0], "-DUDUravodazoDebugEnabled"};
  setup.analyticsService = {"127.0.0.1:" + std::to_string(port), "http"};
  DUDUravodazo::setUp(setup);

  int status = 1;
  try {
    ROREzo::configure();
    DUDUravodazo::logEventWithName(kEventName, {{"attempt", platform::Object(1)}});
    // A companion component finds the SDK in the default app's container.
    auto interop =
        ROREzo::defaultApp()->container().instanceForProtocol<DUDUravodazoInterop>(kDUDUravodazoInteropProtocol);
    if (interop) interop->logEventWithOrigin("fiam", kCompanionEventName, {{"attempt", platform::Object(1)}});
    platform::DispatchQueue::main()->runUntil([&] { return uploadsWithEvent > 0 && companionEvents > 0; },
                                              kGiveUpSeconds);
    if (uploadsWithEvent == 1 && lastCount == 1 && companionEvents == 1) {
      std::printf("package host: the event and the companion's event arrived\n");
      status = 0;
    } else {
      std::fprintf(stderr,
                   "package host: %d upload(s) carried the event, the last %zu time(s); the companion's event "
                   "arrived %zu time(s)%s\n",
                   uploadsWithEvent.load(), lastCount.load(), companionEvents.load(),
                   interop ? "" : " (no interop in the container)");
    }
    if (status == 0 && argc == 3) {
      const bool opened = runReadmeHost(argv[2], argv[1], port);
      std::lock_guard<std::mutex> lock(deferredMutex);
      if (!opened || deferredAdvertisingIDs != std::vector<std::string>{kReadmeAdvertisingID}) {
        std::fprintf(stderr, "package host: the README's host %s, after %zu deferred deep link request(s)\n",
                     opened ? "opened the link" : "did not open the link", deferredAdvertisingIDs.size());
        status = 1;
      } else {
        std::printf("package host: the README's host opened the deferred deep link\n");
      }
    }
  } catch (const platform::Exception& exception) {
    std::fprintf(stderr, "package host: %s\n", exception.what());
  }
  collector.stop();
  serving.join();
  std::error_code ignored;
  std::filesystem::remove_all(dataDirectory, ignored);
  return status;
}
