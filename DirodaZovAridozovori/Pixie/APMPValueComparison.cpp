#include "APMPValueComparison.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "APMPArrayValue.h"
#include "APMPControlValue.h"
#include "APMPFunctionValue.h"
#include "APMPMapValue.h"
#include "APMPStatementValue.h"

bool APMPIsIdentical(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case APMPValueKind::Boolean: return a.booleanValue() == b.booleanValue();
    case APMPValueKind::Number: return a.numberValue() == b.numberValue();
    default: return a.heapObject() == b.heapObject();
  }
}

namespace {

struct EqualityWalk {
  std::vector<std::pair<const void*, const void*>> active;

  bool equal(const APMPRuntimeValue& a, const APMPRuntimeValue& b, int depth) {
    if (APMPIsIdentical(a, b)) return true;
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
      case APMPValueKind::Number: return std::isnan(a.numberValue()) && std::isnan(b.numberValue());
      case APMPValueKind::String: return a.text() == b.text();
      case APMPValueKind::Function: {
        const std::string& name = a.asFunction()->functionName();
        return !name.empty() && name == b.asFunction()->functionName();
      }
      case APMPValueKind::Array:
      case APMPValueKind::Map:
      case APMPValueKind::Statement:
      case APMPValueKind::Return: break;
      default: return false;
    }
    if (depth >= kAPMPMaxConversionDepth) return false;
    // A pair already being compared further up is taken as equal: cyclic structures that unfold
    // alike are equal, and the walk ends.
    std::pair<const void*, const void*> pair(a.heapObject(), b.heapObject());
    for (const auto& p : active)
      if (p == pair) return true;
    active.push_back(pair);
    bool result = compareContents(a, b, depth + 1);
    active.pop_back();
    return result;
  }

  bool compareContents(const APMPRuntimeValue& a, const APMPRuntimeValue& b, int depth) {
    switch (a.kind()) {
      case APMPValueKind::Array: {
        const APMPValueList& x = a.asArray()->elements();
        const APMPValueList& y = b.asArray()->elements();
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i)
          if (!equal(x[i], y[i], depth)) return false;
        return true;
      }
      case APMPValueKind::Map: {
        const APMPPropertyMap& x = a.asMap()->propertyMap();
        const APMPPropertyMap& y = b.asMap()->propertyMap();
        if (x.count() != y.count()) return false;
        for (const std::string& name : x.allNames()) {
          const APMPRuntimeValue* other = y.find(APMPPropertyMap::keyFor(name));
          if (!other || !equal(x.valueForName(name), *other, depth)) return false;
        }
        return true;
      }
      case APMPValueKind::Statement: {
        const APMPStatementValue* x = a.asStatement();
        const APMPStatementValue* y = b.asStatement();
        if (x->functionName() != y->functionName() || x->arguments().size() != y->arguments().size())
          return false;
        for (size_t i = 0; i < x->arguments().size(); ++i)
          if (!equal(x->arguments()[i], y->arguments()[i], depth)) return false;
        return true;
      }
      case APMPValueKind::Return: return equal(APMPControlValue::asReturn(a)->data(), APMPControlValue::asReturn(b)->data(), depth);
      default: return false;
    }
  }
};

}  // namespace

bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  EqualityWalk walk;
  return walk.equal(*this, other, 0);
}

bool APMPStringEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  platform::Error error;
  std::string x = a.stringValueOrError(&error);
  if (APMPFailed(&error)) return false;
  std::string y = b.stringValueOrError(&error);
  if (APMPFailed(&error)) return false;
  return x == y;
}

bool APMPNumberEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  platform::Error error;
  double x = a.doubleValueOrError(&error);
  if (APMPFailed(&error)) return false;
  double y = b.doubleValueOrError(&error);
  if (APMPFailed(&error)) return false;
  return x == y;
}

bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case APMPValueKind::Number: return a.numberValue() == b.numberValue();
    case APMPValueKind::Boolean: return a.booleanValue() == b.booleanValue();
    case APMPValueKind::String: return a.text() == b.text();
    default: return APMPIsIdentical(a, b);
  }
}

namespace {
int looseRank(const APMPRuntimeValue& v) {
  switch (v.kind()) {
    case APMPValueKind::Undefined:
    case APMPValueKind::Null: return 0;
    case APMPValueKind::Number:
    case APMPValueKind::Boolean: return 1;
    case APMPValueKind::String: return 2;
    default: return 3;
  }
}
}  // namespace

bool APMPLooseEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  int ra = looseRank(a), rb = looseRank(b);
  const APMPRuntimeValue& x = ra <= rb ? a : b;
  const APMPRuntimeValue& y = ra <= rb ? b : a;
  switch (std::min(ra, rb)) {
    case 0: return looseRank(y) == 0;
    case 1: return APMPNumberEquals(x, y);
    case 2: return APMPStringEquals(x, y);
    default: return APMPIsIdentical(x, y);
  }
}

int APMPCompare(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error) {
  if (APMPIsStringLike(a) && APMPIsStringLike(b)) {
    std::string x = a.stringValueOrError(error);
    if (APMPFailed(error)) return 0;
    std::string y = b.stringValueOrError(error);
    if (APMPFailed(error)) return 0;
    return APMPCompareText(x, y);
  }
  double x = a.doubleValueOrError(error);
  if (APMPFailed(error)) return 0;
  double y = b.doubleValueOrError(error);
  if (APMPFailed(error)) return 0;
  if (x < y) return -1;
  if (x == y) return 0;
  return 1;
}
