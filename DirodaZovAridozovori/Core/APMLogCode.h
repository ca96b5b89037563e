#pragma once
// A monitor message code. Each component names its codes in an enum of its own log header and
// marks that enum as a code type:
//
//   enum class APMStoreLogCode : int64_t { kDatabaseOpenFailed = 34002, ... };
//   template <> inline constexpr bool kAPMIsLogCode<APMStoreLogCode> = true;
//
// so a call reads `APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kDatabaseOpenFailed, ...)`
// and a line can be traced to the component that wrote it. The number is what the console shows
// ("I-ACS" and six digits) and a sink receives.

#include <concepts>
#include <cstdint>
#include <type_traits>

template <typename Code>
inline constexpr bool kAPMIsLogCode = false;

template <typename Code>
concept APMLogCodeEnum =
    kAPMIsLogCode<Code> && std::is_enum_v<Code> && std::same_as<std::underlying_type_t<Code>, int64_t>;

class APMLogCode {
 public:
  template <APMLogCodeEnum Code>
  constexpr APMLogCode(Code code) : number_(static_cast<int64_t>(code)) {}
  // A code that arrives as a number (a bridge from another logger).
  explicit constexpr APMLogCode(int64_t number) : number_(number) {}

  constexpr int64_t number() const { return number_; }
  friend constexpr bool operator==(APMLogCode, APMLogCode) = default;

 private:
  int64_t number_;
};
