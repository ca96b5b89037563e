#pragma once
// Native functions and the general-purpose modules programs reach through "require".

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "APMLogCode.h"
#include "APMLogLevel.h"
#include "APMPFunctionValue.h"
#include "APMPRuntime.h"
#include "platform/Object.h"

// Base of functions implemented in C++. Natives have no parameters, statements or defining scope;
// by default they evaluate their arguments in the caller's scope and run callNative.
class APMPNativeFunctionValue : public APMPFunctionValue {
 public:
  explicit APMPNativeFunctionValue(std::string name);
  APMPRuntimeValue invokeWithEvaluatedArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& callerScope,
                                                platform::Error* error) override;

  // Creates a native tracked by the runtime's object manager (so that cycles through a native's
  // properties are collected like any other).
  template <class T, class... Args>
  static APMPRuntimeValue make(APMPRuntime& runtime, Args&&... args) {
    return APMPObjectManager::track(APMPValueKind::Function, new T(std::forward<Args>(args)...),
                                    runtime.globalScope());
  }

 protected:
  virtual APMPRuntimeValue callNative(std::span<const APMPRuntimeValue> arguments, APMPScope& callerScope,
                                      platform::Error* error) {
    return {};
  }
};

// A native whose arguments are never evaluated (nor its callers' side effects run).
class APMPIgnoringNativeFunctionValue : public APMPNativeFunctionValue {
 public:
  using APMPNativeFunctionValue::APMPNativeFunctionValue;
  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& callerScope,
                                       platform::Error* error) override {
    return callNative({}, callerScope, error);
  }
};

// "require": the module of a name, made once per runtime by the provider's creator.
class APMPRequire final : public APMPNativeFunctionValue {
 public:
  explicit APMPRequire(APMPRuntime& runtime);
  static APMPRuntimeValue make(APMPRuntime& runtime);
  void markChildren(APMPMarker& marker) override;
  void sweep() override;

 protected:
  APMPRuntimeValue callNative(std::span<const APMPRuntimeValue> arguments, APMPScope& callerScope,
                              platform::Error* error) override;

 private:
  APMPRuntime& runtime_;
  std::unordered_map<std::string, APMPRuntimeValue> modules_;
};

// "internal.platform": its property "getVersion" answers the runtime version.
class APMPRuntimePlatform final : public APMPIgnoringNativeFunctionValue {
 public:
  APMPRuntimePlatform() : APMPIgnoringNativeFunctionValue("internal.platform") {}
  static APMPRuntimeValue make(APMPRuntime& runtime);
};

class APMPFunctionGetVersion final : public APMPIgnoringNativeFunctionValue {
 public:
  APMPFunctionGetVersion() : APMPIgnoringNativeFunctionValue("getVersion") {}

 protected:
  APMPRuntimeValue callNative(std::span<const APMPRuntimeValue>, APMPScope&, platform::Error*) override;
};

// Where program log lines go.
class APMPLoggerDelegate {
 public:
  virtual ~APMPLoggerDelegate() = default;
  virtual void logWithLevel(int level, const std::string& message, const std::vector<std::string>& context,
                            bool silent, bool monitored) = 0;
};

// The message code of every program log line.
enum class APMPixieLogCode : int64_t {
  kProgramLine = 24005,
};
template <>
inline constexpr bool kAPMIsLogCode<APMPixieLogCode> = true;

// Sends program log lines to the measurement log (message code 24005), mapping the program's
// level to a monitor level.
class APMPixieLogger final : public APMPLoggerDelegate {
 public:
  void logWithLevel(int level, const std::string& message, const std::vector<std::string>& context, bool silent,
                    bool monitored) override;
  // Program levels: 2 verbose, 3 debug, 5 warning, 6 error, anything else notice; silent lines are
  // only sampled, monitored ones printed and sampled.
  static APMLogLevel monitorLevelFor(int programLevel, bool silent, bool monitored);
};

// "log": writes one line through the logger.
class APMPFunctionLog final : public APMPNativeFunctionValue {
 public:
  APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent, bool monitored)
      : APMPNativeFunctionValue("log"), logger_(std::move(logger)), silent_(silent), monitored_(monitored) {}

 protected:
  APMPRuntimeValue callNative(std::span<const APMPRuntimeValue> arguments, APMPScope& callerScope,
                              platform::Error* error) override;

 private:
  std::shared_ptr<APMPLoggerDelegate> logger_;
  bool silent_;
  bool monitored_;
};

// The logger module ("internal.logger" as the configuration registers it): properties "log",
// "silent" and "unmonitored".
class APMPMessageLogger final : public APMPIgnoringNativeFunctionValue {
 public:
  explicit APMPMessageLogger(std::string name) : APMPIgnoringNativeFunctionValue(std::move(name)) {}
  static APMPRuntimeValue make(APMPRuntime& runtime, std::string name, std::shared_ptr<APMPLoggerDelegate> logger);
};

// "silent" and "unmonitored": calling one gives itself; its "log" carries the matching flags.
class APMPFunctionLogVariant final : public APMPIgnoringNativeFunctionValue {
 public:
  explicit APMPFunctionLogVariant(std::string name) : APMPIgnoringNativeFunctionValue(std::move(name)) {}

 protected:
  APMPRuntimeValue callNative(std::span<const APMPRuntimeValue>, APMPScope&, platform::Error*) override {
    return APMPRuntimeValue::object(APMPValueKind::Function, this);
  }
};

// A key-value store module: its property "getValue" answers the block's string for a key.
class APMPKeyValueStore final : public APMPNativeFunctionValue {
 public:
  using Block = std::function<std::optional<std::string>(const std::string& key)>;
  explicit APMPKeyValueStore(std::string name) : APMPNativeFunctionValue(std::move(name)) {}
  static APMPRuntimeValue make(APMPRuntime& runtime, std::string name, Block block);
};

class APMPKeyValueStoreGetValue final : public APMPNativeFunctionValue {
 public:
  explicit APMPKeyValueStoreGetValue(APMPKeyValueStore::Block block)
      : APMPNativeFunctionValue("getValue"), block_(std::move(block)) {}

 protected:
  APMPRuntimeValue callNative(std::span<const APMPRuntimeValue> arguments, APMPScope& callerScope,
                              platform::Error* error) override;

 private:
  APMPKeyValueStore::Block block_;
};

// A module that converts the host object its block returns (application facts and the like).
class APMPObjectProvider final : public APMPIgnoringNativeFunctionValue {
 public:
  using Block = std::function<platform::Object()>;
  APMPObjectProvider(std::string name, Block block)
      : APMPIgnoringNativeFunctionValue(std::move(name)), block_(std::move(block)) {}

 protected:
  APMPRuntimeValue callNative(std::span<const APMPRuntimeValue>, APMPScope& callerScope,
                              platform::Error* error) override;

 private:
  Block block_;
};
