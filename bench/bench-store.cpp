// Raw-event write speed of the measurement database, the way the event road writes: metadata
// insert-if-missing, the stored-events limit check and one raw-event row per event.
//   BM_RawEventInsertPerTransaction  one exclusive transaction per event
//   BM_RawEventInsertGroupCommit     one transaction per batch, a savepoint per event
// Counters: events_per_s, and bytes_per_event (database file size over the events written).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "APMDatabase.h"
#include "APMFileUtilities.h"
#include "platform/DispatchQueue.h"
#include "platform/Paths.h"

namespace {

struct BenchDatabase {
  BenchDatabase() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bench-store-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    directory = pattern;
    platform::Paths::setDataDirectory(directory);
    queue = platform::DispatchQueue::create("com.diroda.zora.worker");
    queue->sync([&] { db = APMDatabase::create(APMDatabase::kDatabaseName, nullptr, queue, nullptr); });
    if (!db) std::abort();
  }
  ~BenchDatabase() {
    queue->sync([&] { db.reset(); });
    std::filesystem::remove_all(directory);
    platform::Paths::setDataDirectory("");
  }
  double fileBytes() const {
    double total = 0;
    const std::string path = APMApplicationSupportPath(APMDatabase::kDatabaseName);
    for (const char* suffix : {"", "-wal"}) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(path + suffix, ec);
      if (!ec) total += static_cast<double>(size);
    }
    return total;
  }

  std::string directory;
  std::shared_ptr<platform::DispatchQueue> queue;
  std::shared_ptr<APMDatabase> db;
};

// A typical application event: a name, a handful of short parameters, one number.
std::shared_ptr<APMEvent> typicalEvent(int64_t i) {
  return APMEvent::create("app", true, "level_complete", 1700000000.0 + static_cast<double>(i) * 0.01, 0,
                          APMParameters{{"level", APMValue(i % 40)},
                                        {"character", APMValue("gorilla")},
                                        {"score", APMValue(1234.5)},
                                        {"_sid", APMValue(int64_t{1700000000})},
                                        {"_sno", APMValue(int64_t{3})}});
}

bool writeOne(APMDatabase& db, const platform::Data& metadata, int64_t fingerprint, const APMEvent& event) {
  return db.rawEvents().insertIfNotExistsRawEventMetadata(metadata, nullptr) &&
         db.rawEvents().deleteRawEventsOverAbsoluteLimit(nullptr) &&
         db.rawEvents().insertRawEvent(event, fingerprint, false, nullptr);
}

const platform::Data kMetadata(180, 0x2a);

void BM_RawEventInsertPerTransaction(benchmark::State& state) {
  BenchDatabase bench;
  const int64_t fingerprint = APMDatabaseRawEvents::metadataFingerprint(kMetadata);
  int64_t written = 0;
  for (auto _ : state) {
    auto event = typicalEvent(written);
    bench.queue->sync([&] {
      if (!bench.db->performTransaction([&] { return writeOne(*bench.db, kMetadata, fingerprint, *event); })) {
        state.SkipWithError("write failed");
      }
    });
    ++written;
  }
  state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(written), benchmark::Counter::kIsRate);
  bench.queue->sync([&] { bench.db->performTransaction([] { return true; }); });
  state.counters["bytes_per_event"] = bench.fileBytes() / static_cast<double>(written ? written : 1);
}
BENCHMARK(BM_RawEventInsertPerTransaction)->Unit(benchmark::kMicrosecond)->Iterations(20000);

void BM_RawEventInsertGroupCommit(benchmark::State& state) {
  BenchDatabase bench;
  const int64_t fingerprint = APMDatabaseRawEvents::metadataFingerprint(kMetadata);
  const int64_t batch = state.range(0);
  int64_t written = 0;
  for (auto _ : state) {
    bench.queue->sync([&] {
      bench.db->performTransaction([&] {
        for (int64_t i = 0; i < batch; ++i) {
          auto event = typicalEvent(written + i);
          bench.db->performTransaction([&] { return writeOne(*bench.db, kMetadata, fingerprint, *event); });
        }
        return true;
      });
    });
    written += batch;
  }
  state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(written), benchmark::Counter::kIsRate);
  state.counters["bytes_per_event"] = bench.fileBytes() / static_cast<double>(written ? written : 1);
}
BENCHMARK(BM_RawEventInsertGroupCommit)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(500);

}  // namespace

BENCHMARK_MAIN();
