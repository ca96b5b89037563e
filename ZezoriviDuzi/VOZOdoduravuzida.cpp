#include "VOZOdoduravuzida.h"

#include <any>

#include "Logger/DULLogger.h"
#include "platform/ClassRegistry.h"

VOZOdoduravuzida& VOZOdoduravuzida::sharedInstance() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static auto& instance = *new VOZOdoduravuzida;
  return instance;
}

void VOZOdoduravuzida::registerClass() {
  if (platform::ClassRegistry::exists(kClassName)) return;
  platform::ClassRegistry::registerClass(kClassName, [] { return std::any(&VOZOdoduravuzida::sharedInstance()); });
}

void VOZOdoduravuzida::setLoggerLevel(int64_t level) { DULLoggerSetLevel(level); }

int64_t VOZOdoduravuzida::loggerLevel() const { return DULLoggerLevelNumber(DULLoggerGetLevel()); }
