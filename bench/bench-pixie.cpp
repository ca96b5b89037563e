// Interpreter speed: evaluations per second on a loop-heavy program, the time a runaway program
// takes to hit the evaluation limit, and the per-event cost of a small editing program.
// Ends with one line: evals_per_s=… limit_stop_ms=… edit_us_per_event=…

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "APMPixie.h"

namespace {

using Clock = std::chrono::steady_clock;
using V = APMPRuntimeValue;

V stmt(const char* name, std::vector<V> args) { return APMPStatementValue::make(name, std::move(args)); }
V str(const char* s) { return V::string(s); }
V num(double d) { return V::number(d); }
V read(const char* name) { return stmt("15", {str(name)}); }

// var s = 0, i = 0; while (i < n) { s = s + i * 2; i = i + 1 }
std::vector<V> loopProgram(double n) {
  return {
      stmt("41", {str("s"), str("i")}),
      stmt("3", {str("s"), num(0)}),
      stmt("3", {str("i"), num(0)}),
      stmt("42", {stmt("23", {read("i"), num(n)}), stmt("3", {str("i"), stmt("0", {read("i"), num(1)})}), V::boolean(false),
                  stmt("46", {stmt("3", {str("s"), stmt("0", {read("s"), stmt("26", {read("i"), num(2)})})})})}),
      read("s"),
  };
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double measureEvaluationsPerSecond() {
  double best = 0;
  for (int round = 0; round < 5; ++round) {
    APMPRuntime runtime;
    std::vector<V> program = loopProgram(50000);
    platform::Error error;
    auto start = Clock::now();
    runtime.executeStatements(program, &error);
    double elapsed = seconds(Clock::now() - start);
    if (!error.empty())
      std::fprintf(stderr, "loop program failed with %lld after %d\n", static_cast<long long>(error.code),
                   runtime.getInstructionCount());
    best = std::max(best, runtime.getInstructionCount() / elapsed);
  }
  return best;
}

double measureLimitStopMilliseconds() {
  double worst = 0;
  for (int round = 0; round < 5; ++round) {
    APMPRuntime runtime;
    std::vector<V> program = loopProgram(1e18);
    platform::Error error;
    auto start = Clock::now();
    runtime.executeStatements(program, &error);
    double elapsed = seconds(Clock::now() - start) * 1000;
    if (error.code != kAPMPErrorInstructionLimit) std::fprintf(stderr, "runaway program was not stopped\n");
    worst = std::max(worst, elapsed);
  }
  return worst;
}

// function edit(p) {
//   if (p.currency == "USD") { p.value = p.value * 100; p.label = "cents:" + p.item }
//   var n = 0; for (const k in p) n = n + 1; p.count = n; return p
// }
std::vector<V> editProgram() {
  V p = read("p");
  return {stmt(
      "50",
      {str("edit"), stmt("7", {str("p")}),
       stmt("22", {stmt("12", {stmt("16", {p, str("currency")}), str("USD")}),
                   stmt("46", {stmt("43", {p, str("value"), stmt("26", {stmt("16", {p, str("value")}), num(100)})}),
                               stmt("43", {p, str("label"), stmt("0", {str("cents:"), stmt("16", {p, str("item")})})})})}),
       stmt("41", {str("n")}), stmt("3", {str("n"), num(0)}),
       stmt("54", {str("k"), p, stmt("46", {stmt("3", {str("n"), stmt("0", {read("n"), num(1)})})})}),
       stmt("43", {p, str("count"), read("n")}), stmt("36", {p})})};
}

double measureEditMicroseconds() {
  APMPRuntime runtime;
  platform::Error error;
  std::vector<V> program = editProgram();
  runtime.executeStatements(program, &error);
  runtime.collectGarbage();
  platform::Dictionary parameters{{"currency", platform::Object("USD")},
                                  {"value", platform::Object(9.99)},
                                  {"item", platform::Object("coffee")},
                                  {"quantity", platform::Object(2)}};
  const int events = 20000;
  size_t edited = 0;
  auto start = Clock::now();
  for (int i = 0; i < events; ++i) {
    runtime.resetInstructionCount();
    APMPRuntime::Activation activation(runtime);
    APMPRef<APMPScope> scope = runtime.getRunScope();
    V map = APMPRuntimeEntityConverter::runtimeValueFromNSObject(platform::Object(parameters), *scope, &error);
    V edit = scope->valueForName("edit");
    V result = edit.asFunction()->invokeWithEvaluatedArguments(std::span<const V>(&map, 1), *scope, &error);
    if (const APMPMapValue* out = result.asMap()) edited += APMPRuntimeEntityConverter::dictionaryFromMapValue(*out, &error).size();
    runtime.collectGarbage();
  }
  double elapsed = seconds(Clock::now() - start);
  if (!error.empty() || edited != static_cast<size_t>(events) * 6)
    std::fprintf(stderr, "edit program misbehaved (%lld, %zu)\n", static_cast<long long>(error.code), edited);
  return elapsed / events * 1e6;
}

}  // namespace

int main() {
  double evals = measureEvaluationsPerSecond();
  double stop = measureLimitStopMilliseconds();
  double edit = measureEditMicroseconds();
  std::printf("evals_per_s=%.0f limit_stop_ms=%.2f edit_us_per_event=%.2f\n", evals, stop, edit);
  return 0;
}
