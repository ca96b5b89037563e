#include "EventEditingTestSupport.h"

#include "APMNanoAccessors.h"
#include "../PixieTestSupport.h"

namespace editingtest {

const char* const kPreamble =
    "(41 \"reg\" \"log\") (3 \"reg\" (require \"internal.registerCallback\"))"
    " (3 \"log\" (require \"internal.eventLogger\"))"
    " (50 \"register\" (7 \"rule\") (reg 0 (16 (15 \"rule\") \"fn\") (15 \"rule\")))";

std::shared_ptr<APMPBProgram> makeProgram(const std::string& instructions, const std::vector<Activity>& activities) {
  auto program = APMPBProgram::initWithMessageInfo();
  APMNanoSetRepeatedField(*program, 0, pixietest::parse(instructions));
  if (!activities.empty()) {
    std::vector<std::shared_ptr<APMPBOgtActivity>> list;
    for (const Activity& activity : activities) {
      auto message = APMPBOgtActivity::initWithMessageInfo();
      APMNanoSetString(*message, 0, activity.name);
      std::vector<std::shared_ptr<APMPBRuntimeEntity>> data;
      for (const std::string& source : activity.data) {
        auto entities = pixietest::parse(source);
        data.insert(data.end(), entities.begin(), entities.end());
      }
      APMNanoSetRepeatedField(*message, 1, data);
      list.push_back(message);
    }
    auto container = APMPBOgtActivities::initWithMessageInfo();
    APMNanoSetRepeatedField(*container, 0, list);
    APMNanoSetMessage(*program, 1, *container);
  }
  // Through the wire form, as a downloaded program arrives.
  return APMPBProgram::fromBuffer(program->protoBuffer());
}

std::shared_ptr<APMPBProgram> rulesProgram(const std::vector<std::string>& rules, const std::string& extra) {
  return makeProgram(std::string(kPreamble) + " " + extra, {{"register", rules}});
}

std::string rule(const std::string& type, const std::string& body, std::optional<int64_t> priority) {
  std::string text = "(8 \"type\" \"" + type + "\"";
  if (priority) text += " \"priority\" " + std::to_string(*priority);
  return text + " \"fn\" (51 \"\" (7 \"e\") " + body + "))";
}

std::shared_ptr<APMPEvent> event(const std::string& name, double timestamp, platform::Dictionary parameters) {
  return std::make_shared<APMPEvent>(name, timestamp, std::move(parameters));
}

}  // namespace editingtest
