#include "platform/PropertyList.h"

#include <dirent.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Unicode.h"

namespace platform {

namespace {

// Seconds between 1970-01-01 and 2001-01-01, the property-list date epoch.
constexpr double kReferenceDateOffset = 978307200.0;
// Deeper nesting than this is treated as corrupt input rather than risking the stack.
constexpr int kMaxDepth = 256;
// Objects of a binary file counted as often as they are referenced, i.e. the nodes the decoder
// builds; far beyond any preferences or configuration file the SDK keeps.
constexpr uint64_t kMaxExpandedObjects = uint64_t{1} << 20;

struct PlistDeleter {
  void operator()(void* node) const {
    if (node) plist_free(static_cast<plist_t>(node));
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

Error makeError(PropertyList::ErrorCode code, std::string description) {
  return Error(PropertyList::kErrorDomain, code, std::move(description));
}

// The library writes a binary string by converting it to UTF-16 when it is not ASCII, and bytes
// that are not UTF-8 leave it with a wrong length: the whole file it writes then fails to read.
// Such bytes (a header value, a damaged preference) are written as U+FFFD instead, and read so
// as well: a text read from a file is the text the file would hold once written again, so a
// value kept across launches (an identifier, a validator) does not change when it is saved.
std::string textAsWritten(std::string text) {
  return isValidUtf8(text) ? text : utf16ToUtf8(utf8ToUtf16(text));
}

bool toObject(plist_t node, int depth, Object* out);

bool arrayToObject(plist_t node, int depth, Object* out) {
  Array items;
  uint32_t count = plist_array_get_size(node);
  items.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    Object item;
    if (!toObject(plist_array_get_item(node, i), depth + 1, &item)) return false;
    items.push_back(std::move(item));
  }
  *out = Object(std::move(items));
  return true;
}

bool dictionaryToObject(plist_t node, int depth, Object* out) {
  Dictionary entries;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  if (!iter) return false;
  bool ok = true;
  for (;;) {
    char* rawKey = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iter, &rawKey, &value);
    CString key(rawKey);
    if (!value) break;
    Object item;
    if (!key || !toObject(value, depth + 1, &item)) {
      ok = false;
      break;
    }
    entries[textAsWritten(key.get())] = std::move(item);
  }
  std::free(iter);
  if (ok) *out = Object(std::move(entries));
  return ok;
}

bool toObject(plist_t node, int depth, Object* out) {
  if (!node || depth > kMaxDepth) return false;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      *out = Object(b != 0);
      return true;
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      // The library keeps every integer as 64 unsigned bits; signed values round-trip through it.
      *out = Object(static_cast<long long>(static_cast<int64_t>(v)));
      return true;
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      *out = Object(v);
      return true;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      // Read with its length: the library's copying getter asserts that the length agrees with
      // the C string, so a string holding NUL would end the process. Such a string is damage.
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      if (text && std::memchr(text, 0, length)) return false;
      *out = Object(text ? textAsWritten(std::string(text, length)) : std::string());
      return true;
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      CString bytes(raw);
      Data data;
      if (bytes && length) data.assign(reinterpret_cast<uint8_t*>(bytes.get()), reinterpret_cast<uint8_t*>(bytes.get()) + length);
      *out = Object(std::move(data));
      return true;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      *out = Object(Date{kReferenceDateOffset + sec + usec / 1e6});
      return true;
    }
    case PLIST_ARRAY:
      return arrayToObject(node, depth, out);
    case PLIST_DICT:
      return dictionaryToObject(node, depth, out);
    default:
      return false;
  }
}

plist_t dateNode(const Date& date) {
  double relative = date.seconds - kReferenceDateOffset;
  if (!std::isfinite(relative)) relative = 0;
  double whole = std::floor(relative);
  double micros = std::round((relative - whole) * 1e6);
  if (micros >= 1e6) {
    whole += 1;
    micros = 0;
  }
  constexpr double lo = std::numeric_limits<int32_t>::min();
  constexpr double hi = std::numeric_limits<int32_t>::max();
  if (whole < lo) whole = lo, micros = 0;
  if (whole > hi) whole = hi, micros = 0;
  return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>(micros));
}

// Null values have no property-list form: the caller skips them.
plist_t toNode(const Object& value) {
  switch (value.kind()) {
    case Object::Kind::Null:
      return nullptr;
    case Object::Kind::Bool:
      return plist_new_bool(value.boolValue() ? 1 : 0);
    case Object::Kind::Integer:
      return plist_new_uint(static_cast<uint64_t>(value.integerValue()));
    case Object::Kind::Double:
      return plist_new_real(value.doubleValue());
    case Object::Kind::String:
      return plist_new_string(textAsWritten(value.stringValue()).c_str());
    case Object::Kind::Data: {
      const Data& d = value.dataValue();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Object::Kind::Date:
      return dateNode(value.dateValue());
    case Object::Kind::Array: {
      plist_t array = plist_new_array();
      for (const Object& item : value.arrayValue()) {
        if (plist_t child = toNode(item)) plist_array_append_item(array, child);
      }
      return array;
    }
    case Object::Kind::Dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : value.dictionaryValue()) {
        if (plist_t child = toNode(item)) plist_dict_set_item(dict, textAsWritten(key).c_str(), child);
      }
      return dict;
    }
  }
  return nullptr;
}

// The binary decoder of the property-list library recurses once per nesting level, so a hostile
// or damaged file nested deeply enough would overflow the stack before we see a single node. It
// also decodes a shared object once for every reference to it, so a few hundred bytes of arrays
// that each refer twice to the next would expand into billions of nodes. Walk the object graph
// first, without recursion, and refuse anything nested deeper than kMaxDepth (counting nesting
// through shared objects), expanding to more than kMaxExpandedObjects, with a cycle, or with a
// reference outside the file.
class BinaryShapeCheck {
 public:
  BinaryShapeCheck(const uint8_t* bytes, size_t length) : bytes_(bytes), length_(length) {}

  bool acceptable() {
    if (!readTrailer()) return false;
    depth_.assign(count_, kUnknown);
    expanded_.assign(count_, 0);
    return walkFrom(top_);
  }

 private:
  static constexpr size_t kHeaderSize = 8;
  static constexpr size_t kTrailerSize = 32;
  static constexpr int32_t kUnknown = -1;
  static constexpr int32_t kVisiting = -2;

  struct Frame {
    uint64_t object;
    std::vector<uint64_t> children;
    size_t next = 0;
    int32_t deepestChild = -1;
    uint64_t expanded = 1;  // this object and everything decoded below it
  };

  uint64_t readBigEndian(size_t at, size_t size) const {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) value = (value << 8) | bytes_[at + i];
    return value;
  }

  bool readTrailer() {
    if (length_ < kHeaderSize + kTrailerSize) return false;
    size_t trailer = length_ - kTrailerSize;
    offsetSize_ = bytes_[trailer + 6];
    refSize_ = bytes_[trailer + 7];
    count_ = readBigEndian(trailer + 8, 8);
    top_ = readBigEndian(trailer + 16, 8);
    tableOffset_ = readBigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
    if (count_ == 0 || top_ >= count_ || tableOffset_ < kHeaderSize || tableOffset_ > trailer) return false;
    return count_ <= (trailer - tableOffset_) / offsetSize_;
  }

  // The objects a container refers to; false when the object cannot be read.
  bool childrenOf(uint64_t object, std::vector<uint64_t>* children) const {
    uint64_t offset = readBigEndian(static_cast<size_t>(tableOffset_ + object * offsetSize_), offsetSize_);
    size_t end = static_cast<size_t>(tableOffset_);
    if (offset < kHeaderSize || offset >= end) return false;
    uint8_t marker = bytes_[offset];
    uint8_t type = marker >> 4;
    bool isDictionary = type == 0xD;
    bool isString = type == 0x5 || type == 0x6 || type == 0x7;
    if (type != 0xA && type != 0xC && !isDictionary && !isString) return true;
    uint64_t count = marker & 0x0F;
    size_t at = static_cast<size_t>(offset) + 1;
    if (count == 0x0F) {
      if (at >= end || (bytes_[at] >> 4) != 0x1) return false;
      size_t size = size_t{1} << (bytes_[at] & 0x0F);
      if (size > 8 || at + 1 + size > end) return false;
      count = readBigEndian(at + 1, size);
      at += 1 + size;
    }
    if (isString) return stringHasNoNul(at, count, type == 0x6 ? 2 : 1, end);
    uint64_t refs = isDictionary ? count * 2 : count;
    if (count > end || refs > (end - at) / refSize_) return false;
    children->reserve(static_cast<size_t>(refs));
    for (uint64_t i = 0; i < refs; ++i) {
      uint64_t child = readBigEndian(at + static_cast<size_t>(i) * refSize_, refSize_);
      if (child >= count_) return false;
      children->push_back(child);
    }
    return true;
  }

  // The library hands strings out as C strings and asserts that their length agrees: a string
  // holding U+0000 (in a damaged or hostile file) would end the process instead of being refused.
  bool stringHasNoNul(size_t at, uint64_t count, size_t unitSize, size_t end) const {
    if (count > (end - std::min(at, end)) / unitSize) return false;
    for (size_t i = 0; i < count; ++i) {
      bool nul = true;
      for (size_t b = 0; b < unitSize; ++b) nul = nul && bytes_[at + i * unitSize + b] == 0;
      if (nul) return false;
    }
    return true;
  }

  bool push(std::vector<Frame>* stack, uint64_t object) {
    if (stack->size() > static_cast<size_t>(kMaxDepth)) return false;
    Frame frame{object, {}, 0, -1, 1};
    if (!childrenOf(object, &frame.children)) return false;
    depth_[object] = kVisiting;
    stack->push_back(std::move(frame));
    return true;
  }

  bool walkFrom(uint64_t top) {
    std::vector<Frame> stack;
    if (!push(&stack, top)) return false;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next < frame.children.size()) {
        uint64_t child = frame.children[frame.next++];
        int32_t known = depth_[child];
        if (known == kVisiting) return false;
        if (known >= 0) {
          // Already walked from elsewhere: it is decoded again here, at this depth.
          if (stack.size() + static_cast<size_t>(known) > static_cast<size_t>(kMaxDepth)) return false;
          if (!addExpanded(&frame, expanded_[child])) return false;
          frame.deepestChild = std::max(frame.deepestChild, known);
          continue;
        }
        if (!push(&stack, child)) return false;
        continue;
      }
      int32_t depth = frame.deepestChild + 1;
      depth_[frame.object] = depth;
      expanded_[frame.object] = frame.expanded;
      uint64_t expanded = frame.expanded;
      stack.pop_back();
      if (stack.empty()) break;
      if (!addExpanded(&stack.back(), expanded)) return false;
      stack.back().deepestChild = std::max(stack.back().deepestChild, depth);
    }
    return true;
  }

  // Both terms are at most kMaxExpandedObjects, so the sum cannot overflow.
  static bool addExpanded(Frame* frame, uint64_t objects) {
    frame->expanded += objects;
    return frame->expanded <= kMaxExpandedObjects;
  }

  const uint8_t* bytes_;
  size_t length_;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
  uint64_t count_ = 0;
  uint64_t top_ = 0;
  uint64_t tableOffset_ = 0;
  std::vector<int32_t> depth_;
  std::vector<uint64_t> expanded_;
};

// The XML parser and the free of the property-list library recurse once per element level too.
// Count element nesting in one pass, without recursion, skipping what the parser skips (comments,
// processing instructions, character data, the document type) and text in double quotes inside a
// tag (the parser knows no other quotes), so no tag hidden there can hide real nesting. A document
// type with an internal subset, or any other declaration, is refused: no property list carries
// one. Allowed: the <plist> element, the nesting toObject accepts, and a leaf element below it.
bool xmlNestingAcceptable(std::string_view xml) {
  constexpr int kMaxElementDepth = kMaxDepth + 3;
  int depth = 0;
  size_t at = 0;
  auto skipPast = [&](std::string_view end) {
    size_t found = xml.find(end, at);
    if (found == std::string_view::npos) return false;
    at = found + end.size();
    return true;
  };
  while ((at = xml.find('<', at)) != std::string_view::npos) {
    std::string_view rest = xml.substr(at);
    if (rest.starts_with("<!--")) {
      at += 4;
      if (!skipPast("-->")) return false;
    } else if (rest.starts_with("<![CDATA[")) {
      if (!skipPast("]]>")) return false;
    } else if (rest.starts_with("<?")) {
      if (!skipPast("?>")) return false;
    } else if (rest.starts_with("<!DOCTYPE")) {
      size_t end = xml.find_first_of("[>", at);
      if (end == std::string_view::npos || xml[end] == '[') return false;
      at = end + 1;
    } else if (rest.starts_with("<!")) {
      return false;
    } else if (rest.starts_with("</")) {
      if (!skipPast(">")) return false;
      if (depth > 0) --depth;
    } else {
      bool quoted = false;
      size_t end = at + 1;
      for (; end < xml.size(); ++end) {
        if (xml[end] == '"') quoted = !quoted;
        if (xml[end] == '>' && !quoted) break;
      }
      if (end == xml.size()) return false;
      if (xml[end - 1] != '/' && ++depth > kMaxElementDepth) return false;
      at = end + 1;
    }
  }
  return true;
}

bool isBinaryPropertyList(const char* bytes, size_t length) {
  return length >= 8 && std::memcmp(bytes, "bplist00", 8) == 0;
}

// XML allows no U+0000, not even as a character reference, so a NUL byte means damage. The
// library would keep it inside a string (whose getter then aborts the process) or silently cut a
// dictionary key short at it.
bool xmlHoldsNul(const char* bytes, size_t length) { return std::memchr(bytes, 0, length) != nullptr; }

Object decodeBytes(const char* bytes, size_t length, Error* error) {
  if (length == 0 || length > std::numeric_limits<uint32_t>::max()) {
    setError(error, makeError(PropertyList::kErrorCorrupt, "empty or oversized property list"));
    return Object();
  }
  if (isBinaryPropertyList(bytes, length) &&
      !BinaryShapeCheck(reinterpret_cast<const uint8_t*>(bytes), length).acceptable()) {
    setError(error, makeError(PropertyList::kErrorCorrupt, "damaged or too deeply nested binary property list"));
    return Object();
  }
  if (!isBinaryPropertyList(bytes, length) && xmlHoldsNul(bytes, length)) {
    setError(error, makeError(PropertyList::kErrorCorrupt, "XML property list holding a NUL byte"));
    return Object();
  }
  if (!isBinaryPropertyList(bytes, length) && !xmlNestingAcceptable(std::string_view(bytes, length))) {
    setError(error, makeError(PropertyList::kErrorCorrupt, "damaged or too deeply nested XML property list"));
    return Object();
  }
  plist_t raw = nullptr;
  plist_from_memory(bytes, static_cast<uint32_t>(length), &raw);
  PlistPtr root(raw);
  Object result;
  if (!root || !toObject(static_cast<plist_t>(root.get()), 0, &result)) {
    setError(error, makeError(PropertyList::kErrorCorrupt, "not a property list"));
    return Object();
  }
  return result;
}

bool writeAll(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The rename is only durable once the directory entry itself reaches the disk.
void syncDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::atomic<uint64_t> gTemporaryCounter{0};

// Whether a process with this ID runs (one we may not signal runs too).
bool processRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// A process killed while it wrote a file leaves its temporary file beside it ("<name>.tmp.<pid>.<n>"),
// and nothing else ever takes it away. Once per file and process, after a write of our own went
// through, those of processes that no longer run are removed; a live process's may be in use.
void removeAbandonedTemporaries(const std::string& path) {
  // Never destroyed: preferences are still written while the process exits.
  static auto* mutex = new std::mutex();
  static auto* swept = new std::set<std::string>();
  {
    std::lock_guard<std::mutex> lock(*mutex);
    if (!swept->insert(path).second) return;
  }
  const std::string directory = directoryOf(path);
  const auto slash = path.find_last_of('/');
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
  DIR* listing = ::opendir(directory.c_str());
  if (!listing) return;
  const auto decimal = [](std::string_view digits) {
    return !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name(entry->d_name);
    if (!name.starts_with(prefix)) continue;
    // The rest is "<pid>.<n>", both decimal.
    const std::string_view rest = name.substr(prefix.size());
    const auto dot = rest.find('.');
    if (dot == std::string_view::npos || dot > 9 || !decimal(rest.substr(0, dot)) || !decimal(rest.substr(dot + 1))) {
      continue;
    }
    const auto pid = static_cast<pid_t>(std::strtol(std::string(rest.substr(0, dot)).c_str(), nullptr, 10));
    if (pid <= 0 || pid == ::getpid() || processRuns(pid)) continue;
    const std::string leftover = directory + "/" + std::string(name);
    struct stat info {};
    if (::lstat(leftover.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(leftover.c_str());
  }
  ::closedir(listing);
}

}  // namespace

Object PropertyList::decode(const Data& bytes, Error* error) {
  return decodeBytes(reinterpret_cast<const char*>(bytes.data()), bytes.size(), error);
}

Object PropertyList::decode(const std::string& bytes, Error* error) {
  return decodeBytes(bytes.data(), bytes.size(), error);
}

Data PropertyList::encode(const Object& value, Format format, Error* error) {
  PlistPtr root(toNode(value));
  if (!root) {
    setError(error, makeError(kErrorNotEncodable, "a null value has no property-list form"));
    return {};
  }
  char* raw = nullptr;
  uint32_t length = 0;
  if (format == Format::XML) {
    plist_to_xml(static_cast<plist_t>(root.get()), &raw, &length);
  } else {
    plist_to_bin(static_cast<plist_t>(root.get()), &raw, &length);
  }
  CString bytes(raw);
  if (!bytes || length == 0) {
    setError(error, makeError(kErrorNotEncodable, "the property list could not be encoded"));
    return {};
  }
  return Data(reinterpret_cast<uint8_t*>(bytes.get()), reinterpret_cast<uint8_t*>(bytes.get()) + length);
}

Object PropertyList::readFile(const std::string& path, Error* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      setError(error, makeError(kErrorUnreadable, "cannot open " + path + ": " + std::strerror(errno)));
    }
    return Object();
  }
  Data bytes;
  uint8_t buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      setError(error, makeError(kErrorUnreadable, "cannot read " + path + ": " + std::strerror(saved)));
      return Object();
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  ::close(fd);
  Error decodeError;
  Object value = decode(bytes, &decodeError);
  if (!decodeError.empty()) {
    decodeError.description = path + ": " + decodeError.description;
    setError(error, std::move(decodeError));
  }
  return value;
}

bool PropertyList::writeFile(const std::string& path, const Object& value, Format format, Error* error) {
  Data bytes = encode(value, format, error);
  if (bytes.empty()) return false;
  std::string temporary = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++gTemporaryCounter);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    // Left behind by an earlier process with the same id that died mid-write.
    ::unlink(temporary.c_str());
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  }
  if (fd < 0) {
    setError(error, makeError(kErrorUnwritable, "cannot create " + temporary + ": " + std::strerror(errno)));
    return false;
  }
  bool ok = writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
  int saved = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    saved = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    setError(error, makeError(kErrorUnwritable, "cannot write " + path + ": " + std::strerror(saved)));
    return false;
  }
  syncDirectory(directoryOf(path));
  removeAbandonedTemporaries(path);
  return true;
}

}  // namespace platform
