#include "APMMonitorContext.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace {

std::string demangledTypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

}  // namespace

APMExceptionInfo APMExceptionInfo::fromException(const std::exception& exception) {
  if (const auto* platformException = dynamic_cast<const platform::Exception*>(&exception)) {
    return {platformException->name(), platformException->reason(), {}};
  }
  return {demangledTypeName(typeid(exception)), exception.what(), {}};
}

APMExceptionInfo APMExceptionInfo::unknown() { return {"UnknownException", "an exception of unknown type", {}}; }
