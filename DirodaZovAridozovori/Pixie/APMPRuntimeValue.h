#pragma once
// Runtime values of the Pixie interpreter.
//
// A value is a 16-byte handle: undefined, null, booleans, numbers, the array hole marker and the
// break/continue signals live inside the handle; strings, arrays, maps, functions, statements and
// return signals are reference-counted heap objects. Reference counts are not atomic: every value of
// one runtime is used on the one queue that drives it.
//
// The handle knows its kind, its payload and its conversions. What programs do with values lives
// beside it: the control signals in APMPControlValue.h, the hole marker with the array, equality and
// ordering in APMPValueComparison.h, method calls in APMPMethodCall.h.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Error.h"

class APMPScope;
class APMPMarker;
class APMPArrayValue;
class APMPMapValue;
class APMPFunctionValue;
class APMPStatementValue;
class APMPStringValue;

// ---------------------------------------------------------------------------------------------
// Errors

inline constexpr const char* kAPMPErrorDomain = "com.diroda.dmp.measurement.pixie.ErrorDomain";

enum APMPErrorCode : int {
  kAPMPErrorUndeclaredAssignment = 2,
  kAPMPErrorNoBooleanForm = 3,
  kAPMPErrorNoNumberForm = 4,
  kAPMPErrorNoStringForm = 5,
  kAPMPErrorPropertyWriteOnNothing = 6,
  kAPMPErrorMethodOnNothing = 7,
  kAPMPErrorReduceOfEmpty = 8,
  kAPMPErrorArgumentCount = 9,
  kAPMPErrorArgumentKind = 10,
  kAPMPErrorInvalidArrayLength = 11,
  kAPMPErrorUnknownEntityType = 12,
  kAPMPErrorUnsupportedHostObject = 13,
  kAPMPErrorMissingFunctionName = 14,
  kAPMPErrorModuleCreatorFailed = 15,
  kAPMPErrorNotIterable = 16,
  kAPMPErrorNoSuchMethod = 17,
  kAPMPErrorInstructionLimit = 18,
  // A bound that keeps hostile programs from exhausting the stack or memory: evaluation or entity
  // nesting, array or string length, allocation per run, regular-expression work.
  kAPMPErrorResourceLimit = 19,
};

// Fills *error with a pixie error of the given code (codes only, no text).
void APMPSetError(platform::Error* error, int code);
inline bool APMPFailed(const platform::Error* error) { return !error->empty(); }

// ---------------------------------------------------------------------------------------------
// Heap objects

// Base of every reference-counted value object (and of scopes).
class APMPObject {
 public:
  APMPObject() = default;
  APMPObject(const APMPObject&) = delete;
  APMPObject& operator=(const APMPObject&) = delete;
  virtual ~APMPObject() = default;

  void retain() noexcept { ++refCount_; }
  void release() noexcept {
    if (--refCount_ == 0) destroy(this);
  }
  uint32_t refCount() const { return refCount_; }

  // Marks what this object holds (the collector's worklist does the recursion).
  virtual void markChildren(APMPMarker& marker) {}

  uint32_t markEpoch_ = 0;

 private:
  // Deletes iteratively: releasing a long chain of nested objects never recurses deeply.
  static void destroy(APMPObject* object) noexcept;
  uint32_t refCount_ = 0;
};

// Intrusive strong reference.
template <class T>
class APMPRef {
 public:
  APMPRef() = default;
  APMPRef(std::nullptr_t) {}
  explicit APMPRef(T* p) : p_(p) {
    if (p_) p_->retain();
  }
  APMPRef(const APMPRef& o) : p_(o.p_) {
    if (p_) p_->retain();
  }
  APMPRef(APMPRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  APMPRef(const APMPRef<U>& o) : p_(o.get()) {
    if (p_) p_->retain();
  }
  ~APMPRef() {
    if (p_) p_->release();
  }
  APMPRef& operator=(APMPRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() { APMPRef().swap(*this); }
  void swap(APMPRef& o) noexcept { std::swap(p_, o.p_); }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
APMPRef<T> APMPMake(Args&&... args) {
  return APMPRef<T>(new T(std::forward<Args>(args)...));
}

// ---------------------------------------------------------------------------------------------
// The value handle

enum class APMPValueKind : uint8_t {
  Undefined,
  Null,
  Boolean,
  Number,
  Hole,      // a slot of an array that was never written
  Break,     // control values without data
  Continue,
  String,    // heap kinds from here on
  Array,
  Map,
  Function,
  Statement,
  Return,    // control value carrying the returned data
};

class APMPRuntimeValue {
 public:
  APMPRuntimeValue() noexcept : bits_(0), kind_(APMPValueKind::Undefined) {}
  // A value of a kind that carries no data (null, the hole, break, continue; false and 0 for the
  // boolean and number kinds). A heap kind, which would need its object, gives undefined.
  explicit APMPRuntimeValue(APMPValueKind kind) noexcept
      : bits_(0), kind_(kind >= APMPValueKind::String ? APMPValueKind::Undefined : kind) {}
  static APMPRuntimeValue undefined() { return {}; }
  static APMPRuntimeValue null() { return APMPRuntimeValue(APMPValueKind::Null); }
  static APMPRuntimeValue boolean(bool b) {
    APMPRuntimeValue v(APMPValueKind::Boolean);
    v.bits_ = b ? 1 : 0;
    return v;
  }
  static APMPRuntimeValue number(double d) {
    APMPRuntimeValue v(APMPValueKind::Number);
    v.bits_ = std::bit_cast<uint64_t>(d);
    return v;
  }
  // A string value (not counted against any runtime's limits: use APMPMakeString for program data).
  static APMPRuntimeValue string(std::string text);
  // Wraps a heap object of the given kind (the handle takes a reference).
  static APMPRuntimeValue object(APMPValueKind kind, APMPObject* object) {
    APMPRuntimeValue v;
    v.kind_ = kind;
    v.bits_ = reinterpret_cast<uintptr_t>(object);
    object->retain();
    return v;
  }

  APMPRuntimeValue(const APMPRuntimeValue& o) noexcept : bits_(o.bits_), kind_(o.kind_) {
    if (o.isHeap()) obj()->retain();
  }
  APMPRuntimeValue(APMPRuntimeValue&& o) noexcept : bits_(o.bits_), kind_(o.kind_) {
    o.kind_ = APMPValueKind::Undefined;
    o.bits_ = 0;
  }
  // One assignment for copies and moves: the argument is built by the copy or move constructor.
  APMPRuntimeValue& operator=(APMPRuntimeValue o) noexcept {
    swap(o);
    return *this;
  }
  ~APMPRuntimeValue() {
    if (isHeap()) obj()->release();
  }
  void swap(APMPRuntimeValue& o) noexcept {
    std::swap(bits_, o.bits_);
    std::swap(kind_, o.kind_);
  }

  APMPValueKind kind() const { return kind_; }
  bool isHeap() const { return kind_ >= APMPValueKind::String; }
  bool isUndefined() const { return kind_ == APMPValueKind::Undefined; }
  bool isNull() const { return kind_ == APMPValueKind::Null; }
  bool isNothing() const { return kind_ <= APMPValueKind::Null; }
  bool isBoolean() const { return kind_ == APMPValueKind::Boolean; }
  bool isNumber() const { return kind_ == APMPValueKind::Number; }
  bool isString() const { return kind_ == APMPValueKind::String; }
  bool isArray() const { return kind_ == APMPValueKind::Array; }
  bool isMap() const { return kind_ == APMPValueKind::Map; }
  bool isFunction() const { return kind_ == APMPValueKind::Function; }
  bool isStatement() const { return kind_ == APMPValueKind::Statement; }

  bool booleanValue() const { return bits_ != 0; }  // valid for Boolean
  double numberValue() const { return std::bit_cast<double>(bits_); }  // valid for Number
  APMPObject* heapObject() const { return isHeap() ? obj() : nullptr; }

  // Typed access to heap kinds; nullptr when the value is of another kind.
  APMPStringValue* asString() const;
  APMPArrayValue* asArray() const;
  APMPMapValue* asMap() const;  // maps and their subclasses
  APMPFunctionValue* asFunction() const;
  APMPStatementValue* asStatement() const;
  // The text of a string value; empty for other kinds.
  std::string_view text() const;

  // Conversions; on failure they fill *error and return the neutral value.
  std::string stringValueOrError(platform::Error* error) const;
  double doubleValueOrError(platform::Error* error) const;
  bool booleanValueOrError(platform::Error* error) const;

  // Structural equality, terminating on cyclic structures (APMPValueComparison.cpp).
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const;
  // A method call on this value; arguments are unevaluated, the callee evaluates them
  // (APMPMethodCall.cpp).
  APMPRuntimeValue applyWithName(std::string_view name, std::span<const APMPRuntimeValue> arguments,
                                 APMPScope& scope, platform::Error* error) const;

 private:
  // The payload: a double's bits, a boolean, or the object pointer, by kind.
  APMPObject* obj() const { return reinterpret_cast<APMPObject*>(static_cast<uintptr_t>(bits_)); }
  uint64_t bits_;
  APMPValueKind kind_;
};

using APMPValueList = std::vector<APMPRuntimeValue>;

// An immutable string.
class APMPStringValue final : public APMPObject {
 public:
  explicit APMPStringValue(std::string value) : value_(std::move(value)) {}
  const std::string& value() const { return value_; }
  // Hash of the text, computed once (names are looked up often).
  size_t hash() const {
    if (!hashed_) {
      hash_ = std::hash<std::string_view>()(value_);
      hashed_ = true;
    }
    return hash_;
  }
  // Length in UTF-16 code units, counted once.
  size_t utf16Length() const;
  // True when every character is ASCII (UTF-16 indices are then byte indices), found once.
  bool isASCII() const {
    utf16Length();
    return ascii_;
  }

 private:
  std::string value_;
  mutable size_t hash_ = 0;
  mutable size_t utf16Length_ = 0;
  mutable bool hashed_ = false;
  mutable bool measured_ = false;
  mutable bool ascii_ = false;
};

inline APMPStringValue* APMPRuntimeValue::asString() const {
  return isString() ? static_cast<APMPStringValue*>(obj()) : nullptr;
}
inline std::string_view APMPRuntimeValue::text() const {
  return isString() ? std::string_view(static_cast<APMPStringValue*>(obj())->value())
                    : std::string_view();
}

// ---------------------------------------------------------------------------------------------
// Resource bounds shared by every runtime (hostile programs must end in an orderly error).

inline constexpr size_t kAPMPMaxArrayLength = 1u << 20;      // elements
inline constexpr size_t kAPMPMaxStringLength = 1u << 20;     // bytes of text
inline constexpr int kAPMPMaxConversionDepth = 200;          // nested arrays/maps in conversions

// Makes a string value produced by a program operation: fails with kAPMPErrorResourceLimit when
// the text is too long or the running program has used up its allocation allowance.
APMPRuntimeValue APMPMakeString(std::string text, platform::Error* error);
// Charges steps of native work (elements scanned or moved, bytes searched) to the work allowance
// of the program running on this thread (if any); false with kAPMPErrorResourceLimit when the
// allowance is exceeded. Method tables call it for work proportional to their receiver's size.
bool APMPChargeWork(size_t units, platform::Error* error);
// Charges bytes to the allocation allowance of the program running on this thread (if any);
// false with kAPMPErrorResourceLimit when the allowance is exceeded.
bool APMPChargeAllocation(size_t bytes, platform::Error* error);

// ---------------------------------------------------------------------------------------------
// Shared helpers of the command evaluators

bool APMPIsStringLike(const APMPRuntimeValue& value);
bool APMPIsArrayIndex(const APMPRuntimeValue& value);
int32_t APMPToInt32(double value);
uint32_t APMPToUint32(double value);
double APMPToInteger(double value);
// Clamps an integral double (from APMPToInteger) into [low, high] without overflow.
int64_t APMPClampToInt64(double value, int64_t low, int64_t high);

// Appends more to text; a lone lead surrogate at the end of text and a lone trail surrogate at
// the start of more (halves of one character taken apart by index) join into that character.
void APMPAppendText(std::string& text, std::string_view more);

// Plain ordinal order of two texts by UTF-16 code units (no locale, no case folding): -1, 0 or 1.
int APMPCompareText(std::string_view a, std::string_view b);

// The number-to-text and text-to-number rules.
std::string APMPNumberToString(double value);
double APMPStringToNumber(std::string_view text);

// UTF-16 view of the UTF-8 texts programs handle (indices count UTF-16 code units). A lone
// surrogate taken out of a text is kept as its three-byte generalized UTF-8 form.
size_t APMPUTF16Length(std::string_view text);
// The code unit at a UTF-16 index as a one-unit text; empty when out of range.
std::string APMPUTF16UnitAt(std::string_view text, size_t index);
// Every code unit of the text as a one-unit text.
std::vector<std::string> APMPUTF16Units(std::string_view text);
