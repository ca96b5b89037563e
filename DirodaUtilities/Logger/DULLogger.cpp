#include "Logger/DULLogger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "Environment/VAROreVozizivizirUviv.h"
#include "platform/DispatchQueue.h"
#include "platform/ProcessInfo.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

constexpr const char* kQueueLabel = "DULLoggingClientQueue";
constexpr const char* kEnableDebugModeArgument = "-ZORDebugEnabled";
constexpr const char* kDisableDebugModeArgument = "-ZORDebugDisabled";
constexpr const char* kPersistedDebugModeKey = "/diroda/zoredode/debug_mode";
constexpr const char* kInvalidLevelCode = "I-COR000023";

struct LoggerState {
  std::mutex mutex;  // guards initialization, version and sink
  std::atomic<bool> initialized{false};
  std::string version = kDULLoggerDefaultVersion;
  DULLoggerSink sink;
  std::atomic<DULLoggerLevel> level{DULLoggerLevel::kNotice};
  std::atomic<bool> debugMode{false};
  std::atomic<bool> appStore{false};
};

// Leaked on purpose: components log from exit handlers and detached queues.
LoggerState& state() {
  static LoggerState* s = new LoggerState;
  return *s;
}

const std::shared_ptr<platform::DispatchQueue>& loggingQueue() {
  static auto* q = new std::shared_ptr<platform::DispatchQueue>(platform::DispatchQueue::create(kQueueLabel));
  return *q;
}

bool isAppStoreBuild() { return VAROreVozizivizirUviv::isFromAppStore(); }

bool readDebugMode() {
  auto defaults = platform::UserDefaultsRegistry::standard();
  if (platform::ProcessInfo::hasArgument(kEnableDebugModeArgument)) {
    defaults->setBool(kPersistedDebugModeKey, true);
    return true;
  }
  if (platform::ProcessInfo::hasArgument(kDisableDebugModeArgument)) {
    defaults->removeObject(kPersistedDebugModeKey);
    return false;
  }
  return defaults->boolValue(kPersistedDebugModeKey);
}

// Every filter check passes here, so the settled case costs one atomic load.
void ensureInitialized() {
  LoggerState& s = state();
  if (s.initialized.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.initialized.load(std::memory_order_relaxed)) return;
  bool appStore = isAppStoreBuild();
  s.appStore = appStore;
  bool debug = !appStore && readDebugMode();
  s.debugMode = debug;
  if (debug) s.level = DULLoggerLevel::kDebug;
  s.initialized.store(true, std::memory_order_release);
}

void writeLine(DULLogRecord record) {
  loggingQueue()->async([record = std::move(record)] {
    DULLoggerSink sink;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      sink = state().sink;
    }
    if (sink) {
      sink(record);
      return;
    }
    std::fprintf(stderr, "%s\n", record.line.c_str());
  });
}

std::string currentVersion() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().version;
}

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void DULLoggerSetLevel(int64_t level) {
  ensureInitialized();
  if (level < DULLoggerLevelNumber(DULLoggerLevel::kError) || level > DULLoggerLevelNumber(DULLoggerLevel::kDebug)) {
    DULLoggerLogMessageFormat(DULLoggerLevel::kError, kDULLoggerCoreService, kDULLoggerCoreTag, false,
                              kInvalidLevelCode, "Invalid logger level, %ld", static_cast<long>(level));
    return;
  }
  if (state().appStore && level >= DULLoggerLevelNumber(DULLoggerLevel::kNotice)) return;
  state().level = static_cast<DULLoggerLevel>(level);
}

void DULLoggerSetLevel(DULLoggerLevel level) { DULLoggerSetLevel(DULLoggerLevelNumber(level)); }

DULLoggerLevel DULLoggerGetLevel() {
  ensureInitialized();
  return state().level;
}

bool DULLoggerIsLoggableLevel(DULLoggerLevel level) {
  ensureInitialized();
  return state().debugMode || level <= state().level.load();
}

bool DULLoggerIsDebugMode() {
  ensureInitialized();
  return state().debugMode;
}

void DULLoggerRegisterVersion(const std::string& version) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().version = version;
}

bool DULLoggerIsValidMessageCode(const std::string& code) {
  if (code.size() != 11 || code[0] != 'I' || code[1] != '-') return false;
  for (size_t i = 2; i < 5; ++i) {
    if (!isUpper(code[i])) return false;
  }
  for (size_t i = 5; i < 11; ++i) {
    if (!isDigit(code[i])) return false;
  }
  return true;
}

std::string DULLoggerFormatLine(const std::string& version, const std::string& tag, const std::string& messageCode,
                                const std::string& message) {
  return version + " - " + tag + "[" + messageCode + "] " + message;
}

bool DULLoggerLogMessage(DULLoggerLevel level, const std::string& service, const std::string& tag, bool forceLog,
                         const std::string& messageCode, const std::string& message) {
  ensureInitialized();
  bool force = forceLog || state().debugMode;
  if (!force && !DULLoggerIsLoggableLevel(level)) return false;
  if (!DULLoggerIsValidMessageCode(messageCode)) return false;
  writeLine(DULLogRecord{DULLoggerLevelNumber(level), service, messageCode,
                         DULLoggerFormatLine(currentVersion(), tag, messageCode, message)});
  return true;
}

bool DULLoggerLogMessageFormat(DULLoggerLevel level, const std::string& service, const std::string& tag, bool forceLog,
                               const std::string& messageCode, const char* format, ...) {
  ensureInitialized();
  bool force = forceLog || state().debugMode;
  if (!force && !DULLoggerIsLoggableLevel(level)) return false;
  if (!format) return false;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    message.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
  return DULLoggerLogMessage(level, service, tag, forceLog, messageCode, message);
}

void DULLoggerLogError(const std::string& service, const std::string& tag, const std::string& messageCode,
                       const std::string& message) {
  DULLoggerLogMessage(DULLoggerLevel::kError, service, tag, false, messageCode, message);
}

void DULLoggerLogWarning(const std::string& service, const std::string& tag, const std::string& messageCode,
                         const std::string& message) {
  DULLoggerLogMessage(DULLoggerLevel::kWarning, service, tag, false, messageCode, message);
}

void DULLoggerLogNotice(const std::string& service, const std::string& tag, const std::string& messageCode,
                        const std::string& message) {
  DULLoggerLogMessage(DULLoggerLevel::kNotice, service, tag, false, messageCode, message);
}

void DULLoggerLogInfo(const std::string& service, const std::string& tag, const std::string& messageCode,
                      const std::string& message) {
  DULLoggerLogMessage(DULLoggerLevel::kInfo, service, tag, false, messageCode, message);
}

void DULLoggerLogDebug(const std::string& service, const std::string& tag, const std::string& messageCode,
                       const std::string& message) {
  DULLoggerLogMessage(DULLoggerLevel::kDebug, service, tag, false, messageCode, message);
}

void DULLoggerSetSink(DULLoggerSink sink) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().sink = std::move(sink);
}

void DULLoggerFlush() { loggingQueue()->sync([] {}); }

void DULLoggerResetForTesting() {
  DULLoggerFlush();
  LoggerState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.initialized = false;
  s.version = kDULLoggerDefaultVersion;
  s.level = DULLoggerLevel::kNotice;
  s.debugMode = false;
  s.appStore = false;
}
