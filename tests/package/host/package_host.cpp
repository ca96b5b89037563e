// A host application built outside the SDK's tree against an installed SDK, as a user builds one:
// it includes only installed headers and links only the installed library. It logs one event and
// runs its main queue until a collector embedded here on 127.0.0.1 has received that event.
//
// Usage: package-host RESOURCE_DIRECTORY (where the service plist is).
// Exit status 0 when one upload carried the event exactly once.
#include <httplib.h>
#include <stdlib.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "DUDUravodazo.h"
#include "ROREzo.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"

namespace {

constexpr const char* kEventName = "installed_package_check";
constexpr double kGiveUpSeconds = 60;

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: package-host RESOURCE_DIRECTORY\n");
    return 2;
  }
  std::atomic<int> uploadsWithEvent{0};
  std::atomic<size_t> lastCount{0};
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
    const size_t count = occurrences(gunzip(body), kEventName);
    if (count > 0) {
      lastCount = count;
      ++uploadsWithEvent;
    }
    response.status = 204;
  });
  const int port = collector.bind_to_any_port("127.0.0.1");
  if (port < 0) {
    std::fprintf(stderr, "package host: cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::thread serving([&] { collector.listen_after_bind(); });
  while (!collector.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::string dataDirectory = (std::filesystem::temp_directory_path() / "package-host-XXXXXX").string();
  if (!mkdtemp(dataDirectory.data())) return 1;
  // Debug mode uploads about a second after the event.
  platform::ProcessInfo::setArguments({argv[0], "-DUDUravodazoDebugEnabled"});
  platform::Paths::setDataDirectory(dataDirectory);
  platform::Bundle::setResourceDirectory(argv[1]);
  platform::Bundle::setBundleIdentifier("com.example.companion");
  platform::Bundle::setShortVersion("1.0.0");
  APMRemoteConfig::setAnalyticsServiceScheme("http");
  APMRemoteConfig::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(port));

  int status = 1;
  try {
    ROREzo::configure();
    DUDUravodazo::logEventWithName(kEventName, {{"attempt", platform::Object(1)}});
    platform::DispatchQueue::main()->runUntil([&] { return uploadsWithEvent > 0; }, kGiveUpSeconds);
    if (uploadsWithEvent == 1 && lastCount == 1) {
      std::printf("package host: the event arrived\n");
      status = 0;
    } else {
      std::fprintf(stderr, "package host: %d upload(s) carried the event, the last %zu time(s)\n",
                   uploadsWithEvent.load(), lastCount.load());
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
