#pragma once
// The tagged value of event parameters and user properties: a 64-bit integer, a double, a string,
// or (for item lists) an array of parameter dictionaries.

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Object.h"

class APMValue;
// Parameter names in byte order (as std::string orders them), looked up by any text, so a literal
// name costs no string of its own. Names are short and differ within their first bytes, so a loop
// here settles them without a call to memcmp: every parameter map is searched several times per
// event.
struct APMParameterNameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
      if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
  }
};
class APMParameterMap;
using APMParameters = APMParameterMap;

class APMValue {
 public:
  enum class Type { Int64, Double, String, Array };

  // The integer 0, so parameter maps can be filled with operator[].
  APMValue() : value_(int64_t{0}) {}
  explicit APMValue(int64_t value) : value_(value) {}
  explicit APMValue(int value) : APMValue(static_cast<int64_t>(value)) {}
  explicit APMValue(double value) : value_(value) {}
  explicit APMValue(std::string value) : value_(std::move(value)) {}
  explicit APMValue(const char* value) : APMValue(std::string(value ? value : "")) {}
  explicit APMValue(std::vector<APMParameters> items);

  // A string value from a string, a double from a floating number, else a 64-bit integer from a
  // number (booleans included). Null logs code 35000 and any other kind code 35001; both give none.
  static std::optional<APMValue> valueFromObject(const platform::Object& object);
  // Like valueFromObject, and an array of dictionaries becomes an array value whose entries are
  // converted the same way (one level only; entries that do not convert are left out).
  static std::optional<APMValue> valueFromParameterObject(const platform::Object& object);

  Type type() const { return static_cast<Type>(value_.index()); }
  bool isInt64() const { return type() == Type::Int64; }
  bool isDouble() const { return type() == Type::Double; }
  bool isString() const { return type() == Type::String; }
  bool isArray() const { return type() == Type::Array; }

  // Neutral values for other kinds (0, 0.0, "", empty).
  int64_t int64Value() const { return isInt64() ? std::get<int64_t>(value_) : 0; }
  double doubleValue() const { return isDouble() ? std::get<double>(value_) : 0; }
  const std::string& stringValue() const;
  const std::vector<APMParameters>& arrayValue() const;

  // The host form: an integer, floating or string object, or an array of dictionaries.
  platform::Object object() const;
  // Readable text for logs.
  std::string description() const;

  bool operator==(const APMValue& other) const;
  bool operator!=(const APMValue& other) const { return !(*this == other); }

 private:
  // The alternatives in the order of Type. One of them at a time: a parameter map's node stays small
  // enough for the allocator's quick bins, and events hold thousands of them.
  std::variant<int64_t, double, std::string, std::shared_ptr<const std::vector<APMParameters>>> value_;
};

// An event's parameters: names kept unique and in APMParameterNameLess order, as a map would keep
// them, but in one array. An event holds a handful; the front makes thousands of events a second
// and the worker reads each one once on another core, so one allocation read in one sweep beats a
// node per parameter. Unlike a map's, its iterators and element addresses do not survive an insert
// or an erase.
class APMParameterMap {
 public:
  using key_type = std::string;
  using mapped_type = APMValue;
  using value_type = std::pair<std::string, APMValue>;
  using Entries = std::vector<value_type>;
  using iterator = Entries::iterator;
  using const_iterator = Entries::const_iterator;
  using size_type = size_t;

  APMParameterMap() = default;
  // As a map takes a list: the first of equal names wins.
  APMParameterMap(std::initializer_list<value_type> entries) {
    entries_.reserve(entries.size());
    for (const auto& entry : entries) emplace(entry.first, entry.second);
  }

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const_iterator cbegin() const { return entries_.cbegin(); }
  const_iterator cend() const { return entries_.cend(); }
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  void clear() { entries_.clear(); }
  void reserve(size_t count) { entries_.reserve(count); }

  iterator lower_bound(std::string_view name) {
    return begin() + static_cast<std::ptrdiff_t>(position(name));
  }
  const_iterator lower_bound(std::string_view name) const {
    return begin() + static_cast<std::ptrdiff_t>(position(name));
  }
  iterator find(std::string_view name) {
    auto at = lower_bound(name);
    return at != end() && at->first == name ? at : end();
  }
  const_iterator find(std::string_view name) const {
    auto at = lower_bound(name);
    return at != end() && at->first == name ? at : end();
  }
  size_t count(std::string_view name) const { return find(name) == end() ? 0 : 1; }
  bool contains(std::string_view name) const { return find(name) != end(); }

  // Adds the entry unless the name is there already (whose entry is then returned).
  template <class Name, class... Value>
  std::pair<iterator, bool> emplace(Name&& name, Value&&... value) {
    const size_t at = position(name);
    if (at < entries_.size() && entries_[at].first == std::string_view(name)) return {begin() + static_cast<std::ptrdiff_t>(at), false};
    auto placed = entries_.emplace(begin() + static_cast<std::ptrdiff_t>(at), std::piecewise_construct,
                                   std::forward_as_tuple(std::forward<Name>(name)),
                                   std::forward_as_tuple(std::forward<Value>(value)...));
    return {placed, true};
  }
  std::pair<iterator, bool> insert(value_type entry) { return emplace(std::move(entry.first), std::move(entry.second)); }
  template <class Name, class Value>
  std::pair<iterator, bool> insert_or_assign(Name&& name, Value&& value) {
    auto [at, added] = emplace(std::forward<Name>(name), std::forward<Value>(value));
    if (!added) at->second = std::forward<Value>(value);
    return {at, added};
  }
  // The hint is where the entry belongs when names come in order (the end, say): then no search.
  template <class Name, class Value>
  iterator insert_or_assign(const_iterator hint, Name&& name, Value&& value) {
    const std::string_view key(name);
    const auto index = static_cast<size_t>(hint - cbegin());
    const bool after = index == 0 || APMParameterNameLess()(entries_[index - 1].first, key);
    const bool before = index == entries_.size() || APMParameterNameLess()(key, entries_[index].first);
    if (!after || !before) return insert_or_assign(std::forward<Name>(name), std::forward<Value>(value)).first;
    return entries_.emplace(begin() + static_cast<std::ptrdiff_t>(index), std::piecewise_construct,
                            std::forward_as_tuple(std::forward<Name>(name)),
                            std::forward_as_tuple(std::forward<Value>(value)));
  }
  // Adds (replacing) every entry of other: each entry here moves at most once, from the back, into
  // the room reserved for the additions (an event keeps room for its screen's), where inserting
  // them one by one would shift every entry after each of them.
  void insertOrAssignAll(const APMParameterMap& other) {
    if (other.empty()) return;
    const APMParameterNameLess less;
    size_t added = 0;  // names of other that are not here yet
    auto at = entries_.cbegin();
    for (const auto& entry : other.entries_) {
      while (at != entries_.cend() && less(at->first, entry.first)) ++at;
      if (at == entries_.cend() || at->first != entry.first) ++added;
    }
    size_t mine = entries_.size();  // entries of ours not yet in their final place: [0, mine)
    entries_.resize(mine + added);
    size_t to = entries_.size();
    for (size_t from = other.entries_.size(); from-- > 0;) {
      const value_type& entry = other.entries_[from];
      while (mine > 0 && less(entry.first, entries_[mine - 1].first)) {
        --mine;
        --to;
        if (to != mine) entries_[to] = std::move(entries_[mine]);
      }
      if (mine > 0 && entries_[mine - 1].first == entry.first) --mine;  // replaced by the other's
      entries_[--to] = entry;
    }
  }
  APMValue& operator[](std::string_view name) { return emplace(std::string(name)).first->second; }
  const APMValue& at(std::string_view name) const {
    auto found = find(name);
    if (found == end()) throw std::out_of_range("no parameter named " + std::string(name));
    return found->second;
  }

  size_t erase(std::string_view name) {
    auto at = find(name);
    if (at == end()) return 0;
    entries_.erase(at);
    return 1;
  }
  iterator erase(const_iterator at) { return entries_.erase(at); }

  bool operator==(const APMParameterMap& other) const { return entries_ == other.entries_; }
  bool operator!=(const APMParameterMap& other) const { return !(*this == other); }

 private:
  // Where the name is, or belongs. Names usually arrive in order, so the last entry is asked first.
  size_t position(std::string_view name) const {
    if (entries_.empty() || APMParameterNameLess()(entries_.back().first, name)) return entries_.size();
    auto at = std::lower_bound(entries_.begin(), entries_.end(), name, [](const value_type& entry, std::string_view key) {
      return APMParameterNameLess()(entry.first, key);
    });
    return static_cast<size_t>(at - entries_.begin());
  }

  Entries entries_;
};

// Host dictionary to parameters (values that do not convert are left out) and back.
APMParameters APMParametersFromDictionary(const platform::Dictionary& dictionary);
platform::Dictionary APMDictionaryFromParameters(const APMParameters& parameters);
