// Flag lookup speed of the experiment manager: 50 SDKs with 100 default flags each, every SDK with
// an activated snapshot (a third of its flags over five experiments) and a launched snapshot (another
// third), asked for flags that are found in each of the three places and for missing ones.
// Ends with one line: flag_lookup_ns=…

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "APMEFlags.h"
#include "APMEManager.h"
#include "APMEMonitor.h"
#include "platform/Paths.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSDKs = 50;
constexpr int kFlags = 100;

std::string sdkName(int sdk) { return "sdk_" + std::to_string(sdk); }
std::string flagName(int flag) { return "flag_" + std::to_string(flag); }

std::shared_ptr<APMESnapshot> snapshotOf(const std::string& sdk, int firstFlag, int lastFlag, bool launched) {
  auto snapshot = std::make_shared<APMESnapshot>(sdk, 0);
  for (int flag = firstFlag; flag < lastFlag; ++flag) {
    const int64_t experimentID = launched ? 0 : 1 + flag % 5;
    snapshot->addFlag(APMEFlagFromNameAndValue(platform::Object(flagName(flag)), platform::Object(flag)), experimentID);
  }
  return snapshot;
}

}  // namespace

int main() {
  std::string directory = (std::filesystem::temp_directory_path() / "bench-experiments-XXXXXX").string();
  if (!mkdtemp(directory.data())) return 1;
  platform::Paths::setDataDirectory(directory);
  // The lookups log verbose lines; nobody reads them here.
  APMSetLogSink(nullptr);

  auto manager = APMEManager::create();
  std::vector<std::shared_ptr<APMEClient>> clients;
  APMESnapshots activated;
  APMESnapshots launched;
  for (int sdk = 0; sdk < kSDKs; ++sdk) {
    platform::Dictionary defaults;
    for (int flag = 0; flag < kFlags; ++flag) defaults[flagName(flag)] = platform::Object("default");
    clients.push_back(manager->registerSDKProperty(std::make_shared<APMESDKProperty>(sdkName(sdk)), defaults));
    activated.push_back(snapshotOf(sdkName(sdk), 0, kFlags / 3, false));
    launched.push_back(snapshotOf(sdkName(sdk), kFlags / 3, 2 * kFlags / 3, true));
  }
  manager->taskManagerDidStartWithActivatedSnapshots(*manager->taskManager(), activated, {}, launched);
  manager->dispatchSyncOnSerialQueue([] {});

  // Every flag of every SDK once per round, plus one missing flag per SDK.
  std::vector<std::string> flags;
  for (int flag = 0; flag <= kFlags; ++flag) flags.push_back(flagName(flag));
  size_t found = 0;
  size_t lookups = 0;
  double best = 1e18;
  for (int round = 0; round < 20; ++round) {
    const auto start = Clock::now();
    for (const auto& client : clients) {
      for (const auto& flag : flags) found += client->valueForFlag(flag).has_value();
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    const size_t count = clients.size() * flags.size();
    lookups += count;
    best = std::min(best, ns / static_cast<double>(count));
  }
  if (found != lookups / flags.size() * kFlags) std::fprintf(stderr, "lookups answered wrongly (%zu)\n", found);

  manager.reset();
  std::filesystem::remove_all(directory);
  std::printf("flag_lookup_ns=%.1f\n", best);
  return 0;
}
