#include "APMPEventEditingTool.h"

#include <nlohmann/json.hpp>

#include <limits>

#include "APMPProgramTextFormat.h"

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

void setToolError(platform::Error* error, int code, std::string description = {}) {
  if (error) *error = platform::Error(kAPMPToolErrorDomain, code, std::move(description));
}

// A scalar parameter value (an item field too); nothing for any other JSON value.
std::optional<platform::Object> scalarFromJSON(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_integer: return platform::Object(value.get<int64_t>());
    case Json::value_t::number_unsigned: {
      uint64_t number = value.get<uint64_t>();
      if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
      return platform::Object(static_cast<int64_t>(number));
    }
    case Json::value_t::number_float: return platform::Object(value.get<double>());
    case Json::value_t::string: return platform::Object(value.get<std::string>());
    default: return std::nullopt;
  }
}

std::optional<platform::Object> parameterFromJSON(const Json& value) {
  if (!value.is_array()) return scalarFromJSON(value);
  platform::Array items;
  for (const Json& item : value) {
    if (!item.is_object()) return std::nullopt;
    platform::Dictionary fields;
    for (const auto& [key, field] : item.items()) {
      std::optional<platform::Object> converted = scalarFromJSON(field);
      if (!converted) return std::nullopt;
      fields.emplace(key, std::move(*converted));
    }
    items.emplace_back(std::move(fields));
  }
  return platform::Object(std::move(items));
}

OrderedJson jsonFromObject(const platform::Object& value) {
  switch (value.kind()) {
    case platform::Object::Kind::Bool:
    case platform::Object::Kind::Integer: return value.integerValue();
    case platform::Object::Kind::Double: return value.doubleValue();
    case platform::Object::Kind::String: return value.stringValue();
    case platform::Object::Kind::Array: {
      OrderedJson list = OrderedJson::array();
      for (const platform::Object& item : value.arrayValue()) list.push_back(jsonFromObject(item));
      return list;
    }
    case platform::Object::Kind::Dictionary: {
      OrderedJson object = OrderedJson::object();
      for (const auto& [key, field] : value.dictionaryValue()) object[key] = jsonFromObject(field);
      return object;
    }
    default: return nullptr;
  }
}

}  // namespace

std::shared_ptr<APMPBProgram> APMPProgramFromFileContents(const platform::Data& contents, platform::Error* error) {
  std::string problem;
  std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
  if (std::optional<platform::Data> bytes = APMPProgramBytesFromTextForm(text, &problem)) {
    if (auto program = APMPBProgram::fromBuffer(*bytes)) return program;
    setToolError(error, kAPMPToolErrorBadProgram, "the text form does not make a valid program");
    return nullptr;
  }
  if (auto program = APMPBProgram::fromBuffer(contents)) return program;
  setToolError(error, kAPMPToolErrorBadProgram, problem);
  return nullptr;
}

std::shared_ptr<APMPEvent> APMPEventFromJSON(std::string_view json, platform::Error* error) {
  Json document = Json::parse(json.begin(), json.end(), nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    setToolError(error, kAPMPToolErrorBadEvent, "not a JSON object");
    return nullptr;
  }
  auto name = document.find("name");
  if (name == document.end() || !name->is_string()) {
    setToolError(error, kAPMPToolErrorBadEvent, "\"name\" must be a text");
    return nullptr;
  }
  double timestamp = 0;
  if (auto it = document.find("timestamp"); it != document.end()) {
    if (!it->is_number()) {
      setToolError(error, kAPMPToolErrorBadEvent, "\"timestamp\" must be a number");
      return nullptr;
    }
    timestamp = it->get<double>();
  }
  platform::Dictionary parameters;
  if (auto it = document.find("params"); it != document.end()) {
    if (!it->is_object()) {
      setToolError(error, kAPMPToolErrorBadEvent, "\"params\" must be an object");
      return nullptr;
    }
    for (const auto& [key, value] : it->items()) {
      std::optional<platform::Object> parameter = parameterFromJSON(value);
      if (!parameter) {
        setToolError(error, kAPMPToolErrorBadEvent, "parameter \"" + key + "\" is not a parameter value");
        return nullptr;
      }
      parameters.emplace(key, std::move(*parameter));
    }
  }
  return std::make_shared<APMPEvent>(name->get<std::string>(), timestamp, std::move(parameters));
}

std::string APMPJSONFromEvent(const APMPEvent& event) {
  OrderedJson object = OrderedJson::object();
  object["name"] = event.name();
  object["timestamp"] = event.timestamp();
  object["params"] = jsonFromObject(platform::Object(event.parameters()));
  // Programs may leave half a character in a text; it must not cost the whole line.
  return object.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

APMPConfigurationModules APMPToolConfigurationModules(std::shared_ptr<APMPLoggerDelegate> logger) {
  APMPConfigurationModules modules;
  modules.settings = [](const std::string&) -> std::optional<std::string> { return std::nullopt; };
  modules.appMetadata = [] { return platform::Object(platform::Dictionary{{"platform", "macos"}}); };
  modules.logger = std::move(logger);
  return modules;
}

std::string APMPToolErrorLine(const platform::Error& error) {
  return "error " + error.domain + " " + std::to_string(error.code);
}

int APMPRunProgramOnEvent(const platform::Data& programFile, std::string_view eventJSON,
                          std::shared_ptr<APMPLoggerDelegate> logger, std::vector<std::string>& lines) {
  auto fail = [&](const platform::Error& error) {
    lines.push_back(APMPToolErrorLine(error));
    return 1;
  };
  platform::Error error;
  std::shared_ptr<APMPBProgram> program = APMPProgramFromFileContents(programFile, &error);
  if (!program) return fail(error);
  std::shared_ptr<APMPEvent> event = APMPEventFromJSON(eventJSON, &error);
  if (!event) return fail(error);
  std::unique_ptr<APMPEventEditing> host =
      APMPEventEditing::hostWithProgram(*program, APMPToolConfigurationModules(std::move(logger)), &error);
  if (!host) return fail(error);
  host->handleEvent(event, &error);
  if (!error.empty()) return fail(error);
  const APMPEventContext& context = host->eventContext();
  lines.push_back(APMPJSONFromEvent(host->hasEdits() ? *context.outputEvent() : *context.inputEvent()));
  for (const auto& created : context.eventsToLog()) lines.push_back(APMPJSONFromEvent(*created));
  return 0;
}
