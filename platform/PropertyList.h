#pragma once
// Property lists: platform::Object values to and from XML or binary property-list bytes and files.
//
// Reading never trusts its input: torn, truncated or corrupt bytes give an empty result and an
// error, never a crash. Writing a file is atomic: the bytes go to a temporary file in the same
// directory, are flushed to disk, and the temporary file is renamed over the target, so a reader
// (or a crash) sees either the old file or the new one, never a mix.
//
// Mapping: null has no property-list form (a null inside an array or dictionary is skipped; a null
// root is refused); integers keep their kind; dates keep microseconds in the binary format and whole
// seconds in XML, within 1933 to 2069.

#include <string>

#include "platform/Error.h"
#include "platform/Object.h"

namespace platform {

class PropertyList {
 public:
  enum class Format { XML, Binary };

  static constexpr const char* kErrorDomain = "platform.PropertyList";
  enum ErrorCode : int64_t {
    kErrorCorrupt = 1,      // the bytes are not a property list
    kErrorUnreadable = 2,   // the file exists but cannot be read
    kErrorUnwritable = 3,   // the file or its temporary sibling cannot be written or renamed
    kErrorNotEncodable = 4, // the root is null
  };

  // Decodes XML or binary bytes (the format is detected). Empty input, or anything that does not
  // decode, gives a null Object and fills error with kErrorCorrupt.
  static Object decode(const Data& bytes, Error* error = nullptr);
  static Object decode(const std::string& bytes, Error* error = nullptr);

  // Encodes value; empty bytes and kErrorNotEncodable for a null root.
  static Data encode(const Object& value, Format format, Error* error = nullptr);

  // Reads the file at path. A missing file gives a null Object and no error; an unreadable or
  // corrupt one gives a null Object and an error.
  static Object readFile(const std::string& path, Error* error = nullptr);

  // Writes value atomically to path (the directory must exist). False with an error on failure,
  // in which case the earlier file, if any, is left untouched.
  static bool writeFile(const std::string& path, const Object& value, Format format = Format::Binary,
                        Error* error = nullptr);
};

}  // namespace platform
