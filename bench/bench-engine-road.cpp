// Events per second from the engine's logging entry point to stored raw-event rows, with the
// events of a burst written in groups.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "APMDatabase.h"
#include "APMEngineEventRoad.h"
#include "APMMeasurement.h"
#include "APMMonitor.h"
#include "APMPersistedConfig.h"
#include "Identity/APMIdentity.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace {

void BM_EngineEventRoad(benchmark::State& state) {
  const int64_t burst = state.range(0);
  char pattern[] = "/tmp/bench-engine-XXXXXX";
  const std::string directory = ::mkdtemp(pattern);
  platform::Paths::setDataDirectory(directory);
  APMPersistedConfig::resetSharedInstanceForTesting();
  APMIdentity::setSharedInstance(nullptr);
  platform::Bundle::setBundleIdentifier("com.example.bench");
  platform::Bundle::setShortVersion("1.0");
  // Each burst runs on a day of its own, so the daily limits never refuse bench events.
  auto clock = std::make_shared<platform::FakeClock>(1700000000.0);
  platform::installClock(clock);
  auto engine = APMMeasurement::create("1:1:macos:bench", {.isAnalyticsCollectionEnabled = true});
  engine->setup().scheduler->workerQueue()->sync([] {});
  const platform::Dictionary parameters{{"item", "sword"}, {"price", 12}, {"ratio", 0.5}};
  int64_t stored = 0;
  for (auto _ : state) {
    state.PauseTiming();
    clock->advance(86400);
    state.ResumeTiming();
    for (int64_t i = 0; i < burst; ++i) {
      engine->eventRoad().logEventWithOrigin("app", true, "bench_event", parameters, platform::now(), {}, nullptr, {});
    }
    while (engine->setup().scheduler->workerQueue()->pendingCount() > 0) engine->setup().scheduler->workerQueue()->sync([] {});
    engine->setup().scheduler->workerQueue()->sync([] {});
    stored += burst;
  }
  state.counters["events_per_second"] = benchmark::Counter(static_cast<double>(stored), benchmark::Counter::kIsRate);
  engine->setup().scheduler->workerQueue()->sync([&] {
    platform::Error error;
    auto counts = engine->database()->appMetadata().dailyCounts(&error);
    state.counters["stored_today"] = counts ? counts->allEventsCount : -1;
  });
  engine.reset();
  APMIdentity::setSharedInstance(nullptr);
  APMPersistedConfig::resetSharedInstanceForTesting();
  platform::installClock(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}
BENCHMARK(BM_EngineEventRoad)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
