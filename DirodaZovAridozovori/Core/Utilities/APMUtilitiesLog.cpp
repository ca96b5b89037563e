#include "APMUtilitiesLog.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

APMUtilitiesLogSink& installedSink() {
  static APMUtilitiesLogSink sink;
  return sink;
}

// Until the monitor takes over, only errors are worth a line on stderr: levels 0-2.
void defaultSink(const APMUtilitiesLogEntry& entry) {
  if (entry.level > 2) return;
  std::string text = entry.message;
  for (size_t i = 0; i < entry.contexts.size(); ++i) {
    text += i == 0 ? ": " : ", ";
    const platform::Object& context = entry.contexts[i];
    text += context.isString() ? context.stringValue() : context.description();
  }
  std::fprintf(stderr, "<ZovAridozovori>[I-ACS%06lld] %s\n", static_cast<long long>(entry.code), text.c_str());
}

}  // namespace

void APMUtilitiesLog(int level, int64_t code, const std::string& message, platform::Array contexts) {
  APMUtilitiesLogEntry entry{level, code, message, std::move(contexts)};
  APMUtilitiesLogSink sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink = installedSink();
  }
  if (sink) {
    sink(entry);
  } else {
    defaultSink(entry);
  }
}

APMUtilitiesLogSink APMSetUtilitiesLogSink(APMUtilitiesLogSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  APMUtilitiesLogSink previous = std::move(installedSink());
  installedSink() = std::move(sink);
  return previous;
}
