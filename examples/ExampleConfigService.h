#pragma once
// The example collector's configuration service: reads a measurement configuration written in
// the protocol-buffer text format (see measurement_config.txt) and answers
// GET /config/app/<app ID> with its encoding, an ETag and a Last-Modified date, or 304 when the
// SDK already holds that version. The file is read on every request, so edits show at once.

#include <httplib.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <functional>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "platform/Crypto.h"

namespace example {

// A small reader of the text format: identifiers, quoted strings, numbers, booleans, ':' and
// nested '{ }' blocks. Errors name the line.
class ConfigTextReader {
 public:
  explicit ConfigTextReader(std::string text) : text_(std::move(text)) {}

  // The configuration, or nullptr with *error set.
  std::shared_ptr<APMPBMeasurementConfig> read(std::string* error) {
    auto config = std::make_shared<APMPBMeasurementConfig>();
    std::vector<std::shared_ptr<APMPBSetting>> settings;
    std::vector<std::shared_ptr<APMPBEventConfig>> events;
    while (true) {
      skipSpace();
      if (position_ >= text_.size()) break;
      std::string field = identifier();
      if (field.empty()) return fail(error, "a field name was expected");
      if (field == "settings" || field == "event_configs") {
        if (!expect('{')) return fail(error, "'{' was expected after " + field);
        if (field == "settings") {
          auto setting = std::make_shared<APMPBSetting>();
          if (!readBlock(*setting, {{"name", APMPBSetting::kName}, {"value", APMPBSetting::kValue}}, {}, error))
            return nullptr;
          settings.push_back(setting);
        } else {
          auto event = std::make_shared<APMPBEventConfig>();
          if (!readBlock(*event, {{"name", APMPBEventConfig::kName}},
                         {{"is_blocklisted", APMPBEventConfig::kIsBlocklisted},
                          {"is_custom_conversion", APMPBEventConfig::kIsCustomConversion}},
                         error))
            return nullptr;
          events.push_back(event);
        }
        continue;
      }
      if (!expect(':')) return fail(error, "':' was expected after " + field);
      if (field == "version") {
        auto number = integer();
        if (!number) return fail(error, "version must be a whole number");
        APMNanoSetInt64(*config, APMPBMeasurementConfig::kVersion, *number);
      } else if (field == "app_id" || field == "upload_subdomain") {
        auto value = quoted();
        if (!value) return fail(error, field + " must be a quoted text");
        APMNanoSetString(*config, field == "app_id" ? APMPBMeasurementConfig::kAppId
                                                    : APMPBMeasurementConfig::kUploadSubdomain,
                         *value);
      } else {
        return fail(error, "unknown field " + field);
      }
    }
    if (!settings.empty()) APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kSettings, settings);
    if (!events.empty()) APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kEventConfigs, events);
    return config;
  }

 private:
  using Fields = std::vector<std::pair<std::string, int>>;

  bool readBlock(NANOMessageBase& message, const Fields& texts, const Fields& flags, std::string* error) {
    while (true) {
      skipSpace();
      if (expect('}')) return true;
      std::string field = identifier();
      if (field.empty() || !expect(':')) return fail(error, "a 'name: value' pair or '}' was expected") != nullptr;
      bool known = false;
      for (const auto& [name, index] : texts) {
        if (name != field) continue;
        auto value = quoted();
        if (!value) return fail(error, field + " must be a quoted text") != nullptr;
        APMNanoSetString(message, index, *value);
        known = true;
      }
      for (const auto& [name, index] : flags) {
        if (name != field) continue;
        std::string word = identifier();
        if (word != "true" && word != "false") return fail(error, field + " must be true or false") != nullptr;
        APMNanoSetBool(message, index, word == "true");
        known = true;
      }
      if (!known) return fail(error, "unknown field " + field) != nullptr;
    }
  }

  std::shared_ptr<APMPBMeasurementConfig> fail(std::string* error, const std::string& what) {
    if (error) *error = "line " + std::to_string(line()) + ": " + what;
    return nullptr;
  }

  size_t line() const {
    size_t count = 1;
    for (size_t i = 0; i < position_ && i < text_.size(); ++i) count += text_[i] == '\n';
    return count;
  }

  void skipSpace() {
    while (position_ < text_.size()) {
      char c = text_[position_];
      if (c == '#') {
        while (position_ < text_.size() && text_[position_] != '\n') ++position_;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        ++position_;
      } else {
        return;
      }
    }
  }

  bool expect(char c) {
    skipSpace();
    if (position_ < text_.size() && text_[position_] == c) {
      ++position_;
      return true;
    }
    return false;
  }

  std::string identifier() {
    skipSpace();
    size_t start = position_;
    while (position_ < text_.size() &&
           (std::isalnum(static_cast<unsigned char>(text_[position_])) || text_[position_] == '_')) {
      ++position_;
    }
    return text_.substr(start, position_ - start);
  }

  std::optional<int64_t> integer() {
    skipSpace();
    size_t start = position_;
    if (position_ < text_.size() && text_[position_] == '-') ++position_;
    while (position_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[position_]))) ++position_;
    if (position_ == start) return std::nullopt;
    try {
      return std::stoll(text_.substr(start, position_ - start));
    } catch (...) {
      return std::nullopt;
    }
  }

  // A text stays on one line; on a mistake the reader stays where the text began, so the error
  // names that line.
  std::optional<std::string> quoted() {
    if (!expect('"')) return std::nullopt;
    const size_t start = position_;
    std::string value;
    while (position_ < text_.size() && text_[position_] != '"' && text_[position_] != '\n') {
      char c = text_[position_++];
      if (c == '\\' && position_ < text_.size()) c = text_[position_++];
      value.push_back(c);
    }
    if (position_ >= text_.size() || text_[position_] != '"') {
      position_ = start;
      return std::nullopt;
    }
    ++position_;
    return value;
  }

  std::string text_;
  size_t position_ = 0;
};

// The file's modification time as an HTTP date ("" when it cannot be read).
inline std::string httpDate(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return "";
  std::tm parts{};
  if (!gmtime_r(&status.st_mtime, &parts)) return "";
  char text[64];
  return std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &parts) ? std::string(text) : "";
}

// Serves the configuration file at path. onServed is told of every answer (status and version).
inline void serveConfiguration(httplib::Server& server, std::string path,
                               std::function<void(int status, int64_t version)> onServed = nullptr) {
  server.Get(R"(/config/app/(.+))", [path, onServed](const httplib::Request& request, httplib::Response& response) {
    std::ifstream file(path);
    if (!file) {
      response.status = 404;
      if (onServed) onServed(404, 0);
      return;
    }
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    auto config = ConfigTextReader(text.str()).read(&error);
    if (!config) {
      std::fprintf(stderr, "collector: %s: %s\n", path.c_str(), error.c_str());
      response.status = 500;
      if (onServed) onServed(500, 0);
      return;
    }
    if (!APMNanoGetString(*config, APMPBMeasurementConfig::kAppId)) {
      APMNanoSetString(*config, APMPBMeasurementConfig::kAppId, std::string(request.matches[1]));
    }
    const platform::Data body = config->protoBuffer();
    std::string etag(1, '"');
    etag.append(platform::hexString(platform::md5(body)), 0, 16).push_back('"');
    const int64_t version = APMNanoGetInt64(*config, APMPBMeasurementConfig::kVersion);
    if (request.get_header_value("If-None-Match") == etag) {
      response.status = 304;
      if (onServed) onServed(304, version);
      return;
    }
    response.set_header("ETag", etag);
    response.set_header("Last-Modified", httpDate(path));
    response.set_content(std::string(body.begin(), body.end()), "application/x-protobuf");
    if (onServed) onServed(200, version);
  });
}

}  // namespace example
