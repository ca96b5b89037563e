#include <gtest/gtest.h>

#include <cstdint>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"
#include "platform/PropertyList.h"

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Error;
using platform::Object;
using platform::PropertyList;

namespace {

Object sampleDocument() {
  return Object(Dictionary{
      {"yes", Object(true)}, {"no", Object(false)}, {"zero", Object(0)}, {"minusOne", Object(-1)},
      {"min", Object(static_cast<long long>(std::numeric_limits<int64_t>::min()))},
      {"max", Object(static_cast<long long>(std::numeric_limits<int64_t>::max()))},
      {"wholeDouble", Object(2.0)}, {"double", Object(-0.125)},
      {"text", Object("caf\xc3\xa9 <&> \xf0\x9f\x98\x80")}, {"empty", Object("")},
      {"bytes", Object(Data{0, 1, 2, 255})}, {"date", Object(Date{1700000000.5})},
      {"list", Object(Array{Object(1), Object("two"), Object(Array{}), Object(Dictionary{{"k", Object(3.5)}})})},
  });
}

void appendBigEndian(Data* out, uint64_t value, int size) {
  for (int i = size - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A binary property list of these encoded objects (object 0 is the root), ended by the offset
// table and the trailer with 8-byte offsets and 4-byte references.
Data binaryPlist(const std::vector<Data>& objects) {
  Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<uint64_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(out.size());
    out.insert(out.end(), object.begin(), object.end());
  }
  const uint64_t table = out.size();
  for (uint64_t offset : offsets) appendBigEndian(&out, offset, 8);
  out.insert(out.end(), {0, 0, 0, 0, 0, 0, 8, 4});
  appendBigEndian(&out, offsets.size(), 8);
  appendBigEndian(&out, 0, 8);
  appendBigEndian(&out, table, 8);
  return out;
}

// A binary property list whose object i is an array referring to the objects children[i]. Objects
// may be referred to from several places, as writers that share equal values do.
Data arrays(const std::vector<std::vector<uint64_t>>& children) {
  std::vector<Data> objects;
  for (const auto& refs : children) {
    Data array{0xAF, 0x10, static_cast<uint8_t>(refs.size())};  // count as a one-byte integer
    for (uint64_t ref : refs) appendBigEndian(&array, ref, 4);
    objects.push_back(std::move(array));
  }
  return binaryPlist(objects);
}

// n arrays, each referring `width` times to the next (2^n nodes once every reference of a width-2
// chain is decoded); the last refers to `last` (an object index), or to nothing.
Data chainOfArrays(uint64_t n, size_t width = 1, std::optional<uint64_t> last = std::nullopt) {
  std::vector<std::vector<uint64_t>> children(n);
  for (uint64_t i = 0; i + 1 < n; ++i) children[i].assign(width, i + 1);
  if (last) children[n - 1] = {*last};
  return arrays(children);
}

// The root refers first to a chain of `length` arrays and then to a second chain of the same
// length that ends in the first one, so the first chain is also nested below the second.
Data chainReachedAgainBelowAnother(uint64_t length) {
  std::vector<std::vector<uint64_t>> children(1 + 2 * length);
  const uint64_t first = 1;
  const uint64_t second = 1 + length;
  children[0] = {first, second};
  for (uint64_t i = 0; i + 1 < length; ++i) {
    children[first + i] = {first + i + 1};
    children[second + i] = {second + i + 1};
  }
  children[second + length - 1] = {first};
  return arrays(children);
}

// text repeated n times (by doubling: the hostile documents below run to megabytes).
std::string repeated(const std::string& text, size_t n) {
  std::string out;
  out.reserve(text.size() * n);
  std::string block = text;
  for (;;) {
    if (n & 1) out += block;
    if ((n >>= 1) == 0) return out;
    block += block;
  }
}

using namespace std::string_literals;

Data bytesOf(const std::string& text) { return Data(text.begin(), text.end()); }

// An XML property list of `levels` arrays nested in each other, each opened by `open`.
std::string nestedXml(size_t levels, const std::string& open = "<array>") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + repeated(open, levels) +
         repeated("</array>", levels) + "</plist>\n";
}

}  // namespace

TEST(PropertyList, RoundTripsEveryKindInBothFormats) {
  const Object doc = sampleDocument();
  for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary}) {
    SCOPED_TRACE(format == PropertyList::Format::XML ? "xml" : "binary");
    Error error;
    Object back = PropertyList::decode(PropertyList::encode(doc, format, &error), &error);
    ASSERT_TRUE(error.empty()) << error.description;
    // XML dates carry whole seconds only.
    const double expectedDate = format == PropertyList::Format::XML ? 1700000000.0 : 1700000000.5;
    Dictionary expected = doc.dictionaryValue();
    expected["date"] = Object(Date{expectedDate});
    EXPECT_EQ(back, Object(expected));
    // Equality compares numbers by value: the declared kinds must survive too.
    EXPECT_TRUE(back["yes"].isBool());
    EXPECT_TRUE(back["zero"].isInteger());
    EXPECT_TRUE(back["wholeDouble"].isDouble());
    EXPECT_EQ(back["min"].integerValue(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(back["max"].integerValue(), std::numeric_limits<int64_t>::max());
  }
}

TEST(PropertyList, ReadsHandWrittenXml) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\"><dict>"
      "<key>n</key><integer>-5</integer><key>r</key><real>1.5</real><key>t</key><true/>"
      "<key>s</key><string>a&amp;b</string><key>d</key><data>AAH/</data>"
      "<key>when</key><date>2001-01-01T00:01:40Z</date></dict></plist>\n";
  Error error;
  Object doc = PropertyList::decode(xml, &error);
  ASSERT_TRUE(error.empty()) << error.description;
  EXPECT_EQ(doc["n"].integerValue(), -5);
  EXPECT_DOUBLE_EQ(doc["r"].doubleValue(), 1.5);
  EXPECT_TRUE(doc["t"].isBool());
  EXPECT_EQ(doc["s"].stringValue(), "a&b");
  EXPECT_EQ(doc["d"].dataValue(), (Data{0, 1, 255}));
  // 2001-01-01T00:01:40Z is 978307300 seconds after 1970.
  EXPECT_DOUBLE_EQ(doc["when"].dateValue().seconds, 978307300.0);
}

TEST(PropertyList, CorruptAndHostileInputReadsAsEmptyWithAnError) {
  Data binary = PropertyList::encode(sampleDocument(), PropertyList::Format::Binary);
  Data xml = PropertyList::encode(sampleDocument(), PropertyList::Format::XML);
  ASSERT_FALSE(binary.empty());
  struct Case {
    const char* name;
    Data bytes;
  };
  const Case cases[] = {
      {"text", Data{'h', 'e', 'l', 'l', 'o'}},
      {"xml cut in the middle", Data(xml.begin(), xml.begin() + xml.size() / 2)},
      // Refused before decoding.
      {"nested beyond the limit", chainOfArrays(300)},
      {"nested deep enough to exhaust the stack", chainOfArrays(200000)},
      {"cycle", chainOfArrays(3, 1, 0)},
      {"reference past the object table", chainOfArrays(3, 1, 7)},
      // A few hundred bytes that would expand into 2^60 nodes.
      {"references that double at every level", chainOfArrays(60, 2)},
      {"a shared chain nested again below a second chain", chainReachedAgainBelowAnother(200)},
      // Strings holding NUL would abort the process in the reader the files are shared with
      // (markers 0x5N: N ASCII bytes; 0x6N: N UTF-16 units).
      {"ASCII string holding NUL", binaryPlist({{0x53, 'a', 0, 'b'}})},
      {"UTF-16 string holding NUL", binaryPlist({{0x62, 0, 'h', 0, 0}})},
      // In XML the same NUL would abort inside the library's string getter, or cut a key short.
      {"XML string holding NUL", bytesOf("<plist><string>a\0b</string></plist>"s)},
      {"XML key holding NUL",
       bytesOf("<plist><dict><key>a\0b</key><true/></dict></plist>"s)},
      {"XML character data holding NUL",
       bytesOf("<plist><string><![CDATA[a\0b]]></string></plist>"s)},
      {"XML with NUL after the document", bytesOf("<plist><true/></plist>\0"s)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Error error;
    Object result = PropertyList::decode(c.bytes, &error);
    EXPECT_TRUE(result.isNull());
    EXPECT_EQ(error.domain, PropertyList::kErrorDomain);
    EXPECT_EQ(error.code, PropertyList::kErrorCorrupt);
  }
}

// Bytes that are not UTF-8 (a header value kept as a preference, a damaged file read back) have no
// faithful form in a property list; written as they are, the binary writer left the whole file
// unreadable. They are written as U+FFFD, and everything else in the file survives. A file can
// hold such bytes all the same (damaged, or written by another program): they read as they would
// be written, so a value read and saved again is the value read, and an identifier kept in the
// file stays the same identifier across launches.
TEST(PropertyList, TextThatIsNotUtf8IsWrittenAndReadAsReplacementCharacters) {
  const std::string replacement = "\xef\xbf\xbd";
  struct Case {
    const char* name;
    std::string written;
    std::string read;
  } cases[] = {
      {"a lone high byte", "\xa1orilla", replacement + "orilla"},
      {"a cut two-byte sequence", "caf\xc3", "caf" + replacement},
      {"a lone surrogate", "a\xed\xa0\x80" "b", "a" + replacement + replacement + replacement + "b"},
      {"text beyond the BMP stays", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
  };
  for (const Case& c : cases) {
    for (auto format : {PropertyList::Format::Binary, PropertyList::Format::XML}) {
      SCOPED_TRACE(std::string(c.name) + (format == PropertyList::Format::Binary ? " binary" : " XML"));
      const Object written(Dictionary{{"value", Object(c.written)}, {c.written, Object(1)}, {"kept", Object(true)}});
      Error error;
      const Object read = PropertyList::decode(PropertyList::encode(written, format), &error);
      EXPECT_TRUE(error.empty()) << error.description;
      EXPECT_EQ(read, Object(Dictionary{{"value", Object(c.read)}, {c.read, Object(1)}, {"kept", Object(true)}}));
    }
    SCOPED_TRACE(std::string(c.name) + " in a file");
    Data text{static_cast<uint8_t>(0x50 + c.written.size())};
    text.insert(text.end(), c.written.begin(), c.written.end());
    // A dictionary whose one key and one value are both the text, as the bytes stand.
    const Data file = binaryPlist({{0xd1, 0, 0, 0, 1, 0, 0, 0, 1}, text});
    Error error;
    const Object read = PropertyList::decode(file, &error);
    EXPECT_TRUE(error.empty()) << error.description;
    EXPECT_EQ(read, Object(Dictionary{{c.read, Object(c.read)}}));
  }
}

// The XML parser and the free of the property-list library recurse once per element: nesting
// deep enough to exhaust the stack is refused before they run, also when closing tags hide where
// the parser does not see them.
TEST(PropertyList, DeeplyNestedXmlIsRefusedBeforeParsing) {
  const std::pair<const char*, std::string> cases[] = {
      {"nested beyond the limit", nestedXml(300)},
      {"nested deep enough to exhaust the stack", nestedXml(200000)},
      {"closing tags hidden in comments", nestedXml(200000, "<array><!-- </array></array> -->")},
      {"closing tags hidden in character data", nestedXml(200000, "<array><string><![CDATA[</array>]]></string>")},
      {"opening tags looking self-closing in a quoted attribute", nestedXml(200000, "<array a=\"/>\">")},
      {"document type with an internal subset", nestedXml(1, "<!DOCTYPE plist [ ]><array>")},
  };
  for (const auto& [name, xml] : cases) {
    SCOPED_TRACE(name);
    Error error;
    EXPECT_TRUE(PropertyList::decode(xml, &error).isNull());
    EXPECT_EQ(error.domain, PropertyList::kErrorDomain);
    EXPECT_EQ(error.code, PropertyList::kErrorCorrupt);
  }
}

TEST(PropertyList, EveryTruncationAndByteFlipOfBinaryIsSafe) {
  Data binary = PropertyList::encode(sampleDocument(), PropertyList::Format::Binary);
  // A binary property list is indexed from its trailer: no proper prefix decodes.
  for (size_t n = 0; n < binary.size(); ++n) {
    Error error;
    Object result = PropertyList::decode(Data(binary.begin(), binary.begin() + n), &error);
    EXPECT_TRUE(result.isNull()) << "prefix " << n;
    EXPECT_EQ(error.code, PropertyList::kErrorCorrupt) << "prefix " << n;
  }
  // Flipped bytes may still decode into something; they must never crash (the sanitizers watch).
  for (size_t i = 0; i < binary.size(); ++i) {
    Data damaged = binary;
    damaged[i] ^= 0xff;
    Error error;
    Object result = PropertyList::decode(damaged, &error);
    EXPECT_EQ(result.isNull(), !error.empty()) << "byte " << i;
  }
}

TEST(PropertyList, FilesAreReplacedAtomicallyAndFailedWritesCleanUp) {
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/prefs.plist";
  Error error;
  EXPECT_TRUE(PropertyList::readFile(path, &error).isNull());
  EXPECT_TRUE(error.empty()) << "a missing file is not an error";
  ASSERT_TRUE(PropertyList::writeFile(path, Object(Dictionary{{"v", Object(1)}}), PropertyList::Format::XML, &error));
  ASSERT_TRUE(PropertyList::writeFile(path, Object(Dictionary{{"v", Object(2)}}), PropertyList::Format::Binary, &error));
  EXPECT_EQ(PropertyList::readFile(path, &error)["v"].integerValue(), 2);

  // The target is a directory: the final rename fails after the temporary file was written.
  const std::string blocked = dir.path() + "/blocked";
  std::filesystem::create_directories(blocked + "/inside");
  EXPECT_FALSE(PropertyList::writeFile(blocked, Object(Dictionary{{"v", Object(1)}}), PropertyList::Format::Binary, &error));
  EXPECT_EQ(error.code, PropertyList::kErrorUnwritable);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2)
      << "no temporary file may be left behind";

  // A write that fails half way (the file size limit stands in for a full disk) leaves the old
  // file whole and no temporary file behind.
  const Data before = PropertyList::encode(Object(Dictionary{{"v", Object(2)}}), PropertyList::Format::Binary);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small{4096, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written =
      PropertyList::writeFile(path, Object(Dictionary{{"v", Object(std::string(65536, 'x'))}}), PropertyList::Format::Binary, &error);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(error.code, PropertyList::kErrorUnwritable);
  std::ifstream file(path, std::ios::binary);
  EXPECT_EQ(Data(std::istreambuf_iterator<char>(file), {}), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

// A writer killed mid-write leaves "<name>.tmp.<pid>.<n>" beside the file. The next write of that
// file takes away those of processes that no longer run, and only those.
TEST(PropertyList, WritingAFileRemovesTemporariesOfProcessesThatAreGone) {
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/prefs.plist";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);  // reaped: its ID names no process now
  const std::string gone = std::to_string(child);
  const std::string self = std::to_string(getpid());
  const std::vector<std::string> kept = {
      "prefs.plist.tmp.1.4",              // a process that runs
      "prefs.plist.tmp." + self + ".77",  // this process's own
      "other.plist.tmp." + gone + ".1",   // another file's
      "prefs.plist.tmp." + gone,          // not the writer's form
      "prefs.plist.tmp.x" + gone + ".1",
  };
  const std::vector<std::string> removed = {"prefs.plist.tmp." + gone + ".1", "prefs.plist.tmp." + gone + ".12"};
  for (const auto& name : kept) std::ofstream(dir.path() + "/" + name) << "x";
  for (const auto& name : removed) std::ofstream(dir.path() + "/" + name) << "x";
  Error error;
  ASSERT_TRUE(PropertyList::writeFile(path, Object(Dictionary{{"v", Object(1)}}), PropertyList::Format::Binary, &error));
  for (const auto& name : kept) EXPECT_TRUE(std::filesystem::exists(dir.path() + "/" + name)) << name;
  for (const auto& name : removed) EXPECT_FALSE(std::filesystem::exists(dir.path() + "/" + name)) << name;
  EXPECT_EQ(PropertyList::readFile(path, &error)["v"].integerValue(), 1);
}

// Hand-built input within the limits decodes: shared objects once per reference, deep nesting
// through shared objects, strings in both encodings.
TEST(PropertyList, HandBuiltBinaryWithinTheLimitsDecodes) {
  Object pair(Array{Object(Array{}), Object(Array{})});
  const std::pair<Data, Object> cases[] = {
      {arrays({{1, 1, 1}, {}}), Object(Array{Object(Array{}), Object(Array{}), Object(Array{})})},
      {chainOfArrays(3, 2), Object(Array{pair, pair})},
      {binaryPlist({{0x53, 'a', 'b', 'c'}}), Object("abc")},
      {binaryPlist({{0x62, 0, 'h', 0, 'i'}}), Object("hi")},
  };
  for (const auto& [bytes, expected] : cases) {
    Error error;
    EXPECT_EQ(PropertyList::decode(bytes, &error), expected);
    EXPECT_TRUE(error.empty()) << error.description;
  }
  // 2 * 100 levels below the root stay within the nesting limit.
  Error error;
  EXPECT_EQ(PropertyList::decode(chainReachedAgainBelowAnother(100), &error).arrayValue().size(), 2u);
  EXPECT_TRUE(error.empty()) << error.description;
  // So do 257 XML arrays (the root and 256 levels below it), with what the parser skips between them.
  for (const std::string open : {"<array>", "<array><!-- </array> -->", "<array><?pi </array>?>", "<array a=\"/>\">"}) {
    SCOPED_TRACE(open);
    Object nested = PropertyList::decode(nestedXml(257, open), &error);
    EXPECT_TRUE(error.empty()) << error.description;
    int depth = 0;
    for (const Object* level = &nested; level->isArray() && !level->arrayValue().empty(); ++depth) {
      level = &level->arrayValue().back();
    }
    EXPECT_EQ(depth, 256);
  }
}
