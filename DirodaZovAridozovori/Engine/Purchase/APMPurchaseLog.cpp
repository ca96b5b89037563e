#include "APMPurchaseLog.h"

#include <memory>
#include <mutex>

#include "APMMonitor.h"

namespace {
std::mutex gPurchaseSinkMutex;
std::shared_ptr<const APMPurchaseLogSink> gPurchaseSink;  // guarded by gPurchaseSinkMutex

std::shared_ptr<const APMPurchaseLogSink> installedSink() {
  std::lock_guard<std::mutex> lock(gPurchaseSinkMutex);
  return gPurchaseSink;
}
}  // namespace

void APMSetPurchaseLogSink(APMPurchaseLogSink sink) {
  auto installed = sink ? std::make_shared<const APMPurchaseLogSink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> lock(gPurchaseSinkMutex);
  gPurchaseSink = std::move(installed);
}

void APMPurchaseLogContexts(int64_t level, int64_t code, std::string_view message, APMMonitorContexts contexts) {
  if (auto sink = installedSink()) return (*sink)(level, code, std::string(message), contexts);
  APMMonitor::shared()->logWithLevel(level, code, message, contexts);
}
