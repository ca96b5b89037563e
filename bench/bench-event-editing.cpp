// The event-editing host per event: a program with three edit callbacks (rename, add, remove) and
// one create callback, run on events with a handful of parameters, collection after each event
// included. Also the cost of loading that program.
// Ends with one line: host_us_per_event=… load_us=…

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "APMNanoAccessors.h"
#include "EventEditing/APMPEventEditing.h"

namespace {

using Clock = std::chrono::steady_clock;
using Entity = std::shared_ptr<APMPBRuntimeEntity>;

Entity str(const std::string& text) {
  auto e = APMPBRuntimeEntity::initWithMessageInfo();
  APMNanoSetInt32(*e, APMPBRuntimeEntity::kType, 1);
  APMNanoSetString(*e, APMPBRuntimeEntity::kStringValue, text);
  return e;
}
Entity num(double value) {
  auto e = APMPBRuntimeEntity::initWithMessageInfo();
  APMNanoSetInt32(*e, APMPBRuntimeEntity::kType, 2);
  APMNanoSetDouble(*e, APMPBRuntimeEntity::kNumberValue, value);
  return e;
}
Entity stmt(const std::string& name, const std::vector<Entity>& args) {
  auto e = APMPBRuntimeEntity::initWithMessageInfo();
  APMNanoSetInt32(*e, APMPBRuntimeEntity::kType, 4);
  APMNanoSetString(*e, APMPBRuntimeEntity::kFunctionName, name);
  APMNanoSetRepeatedField(*e, APMPBRuntimeEntity::kValue, args);
  return e;
}
Entity read(const std::string& name) { return stmt("15", {str(name)}); }
Entity call(const std::string& method, const std::vector<Entity>& args) {
  return stmt("2", {read("e"), str(method), stmt("7", args)});
}
Entity rule(const std::string& type, double priority, std::vector<Entity> body) {
  std::vector<Entity> function{str(""), stmt("7", {str("e")})};
  function.insert(function.end(), body.begin(), body.end());
  return stmt("8", {str("type"), str(type), str("priority"), num(priority), str("fn"), stmt("51", function)});
}

std::shared_ptr<APMPBProgram> program() {
  std::vector<Entity> instructions{
      stmt("41", {str("reg"), str("log")}),
      stmt("3", {str("reg"), stmt("require", {str("internal.registerCallback")})}),
      stmt("3", {str("log"), stmt("require", {str("internal.eventLogger")})}),
      stmt("50", {str("register"), stmt("7", {str("rule")}),
                  stmt("reg", {num(0), stmt("16", {read("rule"), str("fn")}), read("rule")})}),
  };
  std::vector<Entity> rules{
      rule("edit", 1, {call("setEventName", {stmt("0", {call("getEventName", {}), str("_edited")})}), stmt("36", {num(1)})}),
      rule("edit", 2, {call("setParamValue", {str("stage"), str("final")}), stmt("36", {num(1)})}),
      rule("edit", 3, {call("setParamValue", {str("email"), stmt("45", {})}), stmt("36", {num(1)})}),
      rule("create", 4,
           {stmt("log", {str("copy"), call("getTimestamp", {}), stmt("8", {str("value"), call("getParamValue", {str("value")})})})}),
  };
  auto activity = APMPBOgtActivity::initWithMessageInfo();
  APMNanoSetString(*activity, APMPBOgtActivity::kName, std::string("register"));
  APMNanoSetRepeatedField(*activity, APMPBOgtActivity::kData, rules);
  auto activities = APMPBOgtActivities::initWithMessageInfo();
  APMNanoSetRepeatedField(*activities, APMPBOgtActivities::kActivities, std::vector<std::shared_ptr<APMPBOgtActivity>>{activity});
  auto result = APMPBProgram::initWithMessageInfo();
  APMNanoSetRepeatedField(*result, APMPBProgram::kInstructions, instructions);
  APMNanoSetMessage(*result, APMPBProgram::kActivities, *activities);
  return APMPBProgram::fromBuffer(result->protoBuffer());
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main() {
  auto message = program();
  if (!message) {
    std::fprintf(stderr, "program did not encode\n");
    return 1;
  }
  const int loads = 200;
  auto loadStart = Clock::now();
  for (int i = 0; i < loads; ++i) {
    platform::Error error;
    if (!APMPEventEditing::hostWithProgram(*message, {}, &error)) {
      std::fprintf(stderr, "load failed with %lld\n", static_cast<long long>(error.code));
      return 1;
    }
  }
  double loadMicroseconds = seconds(Clock::now() - loadStart) / loads * 1e6;

  platform::Error error;
  auto host = APMPEventEditing::hostWithProgram(*message, {}, &error);
  const platform::Dictionary parameters{{"currency", "EUR"}, {"value", 9.99}, {"email", "person@example.com"},
                                        {"item", "coffee"}, {"quantity", int64_t(2)}};
  const int events = 20000;
  size_t created = 0;
  auto start = Clock::now();
  for (int i = 0; i < events; ++i) {
    host->handleEvent(std::make_shared<APMPEvent>("purchase", 1700000000.0 + i, parameters), &error);
    created += host->eventContext().eventsToLog().size();
  }
  double perEvent = seconds(Clock::now() - start) / events * 1e6;
  if (!error.empty() || created != static_cast<size_t>(events))
    std::fprintf(stderr, "editing misbehaved (%lld, %zu created)\n", static_cast<long long>(error.code), created);
  std::printf("host_us_per_event=%.2f load_us=%.2f\n", perEvent, loadMicroseconds);
  return 0;
}
