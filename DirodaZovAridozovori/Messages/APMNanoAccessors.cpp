#include "APMNanoAccessors.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_map>

namespace {

enum class Kind { None, Bool, Signed, Unsigned, Double, Float, String, Bytes, Message };

// The field's storage kind. fixed32/fixed64 never occur in our .proto files (the class generator
// refuses them), so a 32- or 64-bit fixed field is a float or a double.
Kind kindOf(const pb_field_iter_t& field) {
  switch (PB_LTYPE(field.type)) {
    case PB_LTYPE_BOOL:
      return Kind::Bool;
    case PB_LTYPE_VARINT:
    case PB_LTYPE_SVARINT:
      return Kind::Signed;
    case PB_LTYPE_UVARINT:
      return Kind::Unsigned;
    case PB_LTYPE_FIXED32:
      return Kind::Float;
    case PB_LTYPE_FIXED64:
      return Kind::Double;
    case PB_LTYPE_STRING:
      return Kind::String;
    case PB_LTYPE_BYTES:
      return Kind::Bytes;
    case PB_LTYPE_SUBMESSAGE:
    case PB_LTYPE_SUBMSG_W_CB:
      return Kind::Message;
    default:
      return Kind::None;
  }
}

bool isInteger(Kind kind) {
  return kind == Kind::Bool || kind == Kind::Signed || kind == Kind::Unsigned;
}
bool isFloating(Kind kind) { return kind == Kind::Double || kind == Kind::Float; }
bool isText(Kind kind) { return kind == Kind::String || kind == Kind::Bytes; }

bool isRepeated(const pb_field_iter_t& field) {
  return PB_HTYPE(field.type) == PB_HTYPE_REPEATED;
}

// Where a field lies in its message type's struct, found once per type and tag: walking the
// descriptors to the tag (nanopb decodes each descriptor entry on the way) cost more than most
// accessors' own work, and a bundle's fields are read and written dozens of times per bundle.
struct FieldPosition {
  bool found = false;
  pb_field_iter_t iterator{};  // as found on the first message asked about
  ptrdiff_t fieldOffset = 0;
  std::optional<ptrdiff_t> sizeOffset;  // none: the field has no count or presence slot
};

const FieldPosition& fieldPosition(const pb_msgdesc_t* descriptor, uint32_t tag, void* message) {
  // Per thread: the positions are facts about the descriptors, and no lock is taken per access.
  thread_local std::unordered_map<const pb_msgdesc_t*, std::unordered_map<uint32_t, FieldPosition>> positions;
  auto& byTag = positions[descriptor];
  auto known = byTag.find(tag);
  if (known != byTag.end()) return known->second;
  FieldPosition position;
  pb_field_iter_t& iterator = position.iterator;
  if (pb_field_iter_begin(&iterator, descriptor, message) && pb_field_iter_find(&iterator, tag) &&
      PB_ATYPE(iterator.type) == PB_ATYPE_POINTER) {
    const auto* start = static_cast<const char*>(message);
    position.fieldOffset = static_cast<const char*>(iterator.pField) - start;
    // A count kept in the iterator itself would not move with the message: such a field is looked
    // up afresh every time.
    position.found = iterator.pSize != &iterator.array_size;
    if (iterator.pSize != nullptr) position.sizeOffset = static_cast<const char*>(iterator.pSize) - start;
  }
  return byTag.emplace(tag, position).first->second;
}

// Positions the iterator on the field of an index; false when the index names no field.
bool findField(const NANOMessageBase& message, int index, pb_field_iter_t* field) {
  const NANOMessageInfo& info = message.messageInfo();
  const uint32_t tag = info.tagForIndex(index);
  void* base = const_cast<void*>(message.rawMessage());
  if (tag == 0 || info.descriptor == nullptr || base == nullptr) return false;
  const FieldPosition& position = fieldPosition(info.descriptor, tag, base);
  if (!position.found) {
    return pb_field_iter_begin_const(field, info.descriptor, base) && pb_field_iter_find(field, tag) &&
           PB_ATYPE(field->type) == PB_ATYPE_POINTER;
  }
  *field = position.iterator;
  field->message = base;
  field->pField = static_cast<char*>(base) + position.fieldOffset;
  field->pSize = position.sizeOffset ? static_cast<char*>(base) + *position.sizeOffset : nullptr;
  // A pointer field's data is what its slot holds now.
  field->pData = *static_cast<void**>(field->pField);
  return true;
}

bool findSingular(const NANOMessageBase& message, int index, pb_field_iter_t* field) {
  return findField(message, index, field) && !isRepeated(*field);
}

void** slotOf(const pb_field_iter_t& field) { return static_cast<void**>(field.pField); }
pb_size_t* countOf(const pb_field_iter_t& field) { return static_cast<pb_size_t*>(field.pSize); }

// Reads one integer-like element stored at data.
int64_t readSigned(Kind kind, size_t size, const void* data) {
  switch (size) {
    case 1:
      return *static_cast<const bool*>(data) ? 1 : 0;
    case 4:
      return kind == Kind::Unsigned ? static_cast<int64_t>(*static_cast<const uint32_t*>(data))
                                    : static_cast<int64_t>(*static_cast<const int32_t*>(data));
    case 8:
      return *static_cast<const int64_t*>(data);
    default:
      return 0;
  }
}

uint64_t readUnsigned(Kind kind, size_t size, const void* data) {
  if (size == 8) {
    return *static_cast<const uint64_t*>(data);
  }
  return static_cast<uint64_t>(readSigned(kind, size, data));
}

double readFloating(Kind kind, size_t size, const void* data) {
  if (kind == Kind::Float) {
    return *static_cast<const float*>(data);
  }
  if (kind == Kind::Double) {
    return *static_cast<const double*>(data);
  }
  if (kind == Kind::Unsigned) {
    return static_cast<double>(readUnsigned(kind, size, data));
  }
  return static_cast<double>(readSigned(kind, size, data));
}

void writeInteger(size_t size, void* data, uint64_t bits) {
  switch (size) {
    case 1:
      *static_cast<bool*>(data) = bits != 0;
      break;
    case 4:
      *static_cast<uint32_t*>(data) = static_cast<uint32_t>(bits);
      break;
    case 8:
      *static_cast<uint64_t*>(data) = bits;
      break;
    default:
      break;
  }
}

void writeFloating(Kind kind, void* data, double value) {
  if (kind == Kind::Float) {
    *static_cast<float*>(data) = static_cast<float>(value);
  } else {
    *static_cast<double*>(data) = value;
  }
}

// The present value of an optional scalar field, or nullptr.
const void* scalarData(const NANOMessageBase& message, int index, Kind* kind, size_t* size) {
  pb_field_iter_t field;
  if (!findSingular(message, index, &field)) {
    return nullptr;
  }
  *kind = kindOf(field);
  *size = field.data_size;
  return *slotOf(field);
}

// Stores a scalar through `write`, allocating the field's block when absent.
template <class Write>
bool setScalar(NANOMessageBase& message, int index, bool (*accepts)(Kind), Write write) {
  pb_field_iter_t field;
  if (!findSingular(message, index, &field) || !accepts(kindOf(field))) {
    return false;
  }
  void** slot = slotOf(field);
  if (*slot == nullptr) {
    *slot = std::calloc(1, field.data_size);
    if (*slot == nullptr) {
      return false;
    }
  }
  write(kindOf(field), static_cast<size_t>(field.data_size), *slot);
  return true;
}

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// Heap copy of a text in the field's representation (char* or pb_bytes_array_t*).
void* textBlock(Kind kind, const std::string& text) {
  if (kind == Kind::Bytes) {
    if (text.size() > PB_SIZE_MAX) {
      return nullptr;
    }
    auto* bytes =
        static_cast<pb_bytes_array_t*>(std::malloc(PB_BYTES_ARRAY_T_ALLOCSIZE(text.size())));
    if (bytes != nullptr) {
      bytes->size = static_cast<pb_size_t>(text.size());
      std::memcpy(bytes->bytes, text.data(), text.size());
    }
    return bytes;
  }
  if (hasNul(text)) {
    // A nanopb string ends at its first NUL; storing the rest would silently lose it.
    return nullptr;
  }
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) {
    std::memcpy(copy, text.c_str(), text.size() + 1);
  }
  return copy;
}

std::string textOf(Kind kind, const void* block) {
  if (kind == Kind::Bytes) {
    const auto* bytes = static_cast<const pb_bytes_array_t*>(block);
    return std::string(reinterpret_cast<const char*>(bytes->bytes), bytes->size);
  }
  return std::string(static_cast<const char*>(block));
}

// The allocated elements of a repeated field, or false when absent or never allocated.
bool repeatedField(const NANOMessageBase& message, int index, pb_field_iter_t* field) {
  return findField(message, index, field) && isRepeated(*field) && *slotOf(*field) != nullptr;
}

const unsigned char* elementAt(const pb_field_iter_t& field, size_t i) {
  return static_cast<const unsigned char*>(*slotOf(field)) + i * field.data_size;
}

template <class T, class Read>
std::optional<std::vector<T>> readRepeated(const NANOMessageBase& message, int index,
                                           bool (*accepts)(Kind), Read read) {
  pb_field_iter_t field;
  if (!repeatedField(message, index, &field) || !accepts(kindOf(field))) {
    return std::nullopt;
  }
  const Kind kind = kindOf(field);
  const pb_size_t count = *countOf(field);
  std::vector<T> values;
  values.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    values.push_back(read(kind, static_cast<size_t>(field.data_size), elementAt(field, i)));
  }
  return values;
}

// Frees a new array whose first `filled` elements own heap blocks.
void freeArray(const pb_field_iter_t& field, unsigned char* array, size_t filled) {
  const Kind kind = kindOf(field);
  for (size_t i = 0; i < filled; ++i) {
    void* element = array + i * field.data_size;
    if (kind == Kind::Message) {
      nano_detail::releaseStruct(field.submsg_desc, element);
    } else if (isText(kind)) {
      std::free(*static_cast<void**>(element));
    }
  }
  std::free(array);
}

// Builds a new array of `count` elements with fill(kind, size, element, i) and, when every
// element was made, swaps it in for the field's old list.
template <class Fill>
bool replaceRepeated(NANOMessageBase& message, int index, size_t count, bool (*accepts)(Kind),
                     Fill fill) {
  pb_field_iter_t field;
  if (!findField(message, index, &field) || !isRepeated(field) || !accepts(kindOf(field))) {
    return false;
  }
  if (count > PB_SIZE_MAX) {
    return false;
  }
  const size_t size = static_cast<size_t>(field.data_size);
  auto* array = static_cast<unsigned char*>(std::calloc(count == 0 ? 1 : count, size));
  if (array == nullptr) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    if (!fill(kindOf(field), size, array + i * size, i)) {
      freeArray(field, array, i + 1);
      return false;
    }
  }
  // The iterator was positioned on a const view; the storage is this (mutable) message's.
  nano_detail::releaseField(field);
  *slotOf(field) = array;
  *countOf(field) = static_cast<pb_size_t>(count);
  return true;
}

bool acceptsInteger(Kind kind) { return isInteger(kind); }
bool acceptsNumber(Kind kind) { return isInteger(kind) || isFloating(kind); }
bool acceptsFloating(Kind kind) { return isFloating(kind); }
bool acceptsBool(Kind kind) { return kind == Kind::Bool; }
bool acceptsText(Kind kind) { return isText(kind); }
bool acceptsMessage(Kind kind) { return kind == Kind::Message; }

}  // namespace

bool APMNanoHasField(const NANOMessageBase& message, int index) {
  pb_field_iter_t field;
  if (!findField(message, index, &field)) {
    return false;
  }
  return isRepeated(field) || *slotOf(field) != nullptr;
}

void APMNanoClearField(NANOMessageBase& message, int index) {
  pb_field_iter_t field;
  if (findField(message, index, &field)) {
    nano_detail::releaseField(field);
  }
}

bool APMNanoGetBool(const NANOMessageBase& message, int index) {
  Kind kind = Kind::None;
  size_t size = 0;
  const void* data = scalarData(message, index, &kind, &size);
  return data != nullptr && isInteger(kind) && readSigned(kind, size, data) != 0;
}

int32_t APMNanoGetInt32(const NANOMessageBase& message, int index) {
  return static_cast<int32_t>(APMNanoGetInt64(message, index));
}

int64_t APMNanoGetInt64(const NANOMessageBase& message, int index) {
  Kind kind = Kind::None;
  size_t size = 0;
  const void* data = scalarData(message, index, &kind, &size);
  if (data == nullptr || !isInteger(kind)) {
    return 0;
  }
  return readSigned(kind, size, data);
}

double APMNanoGetDouble(const NANOMessageBase& message, int index) {
  Kind kind = Kind::None;
  size_t size = 0;
  const void* data = scalarData(message, index, &kind, &size);
  if (data == nullptr || !acceptsNumber(kind)) {
    return 0;
  }
  return readFloating(kind, size, data);
}

bool APMNanoSetBool(NANOMessageBase& message, int index, bool value) {
  return setScalar(message, index, acceptsBool,
                   [value](Kind, size_t size, void* data) { writeInteger(size, data, value); });
}

bool APMNanoSetInt32(NANOMessageBase& message, int index, int32_t value) {
  return APMNanoSetInt64(message, index, value);
}

bool APMNanoSetInt64(NANOMessageBase& message, int index, int64_t value) {
  return setScalar(message, index, acceptsInteger, [value](Kind, size_t size, void* data) {
    writeInteger(size, data, static_cast<uint64_t>(value));
  });
}

bool APMNanoSetDouble(NANOMessageBase& message, int index, double value) {
  return setScalar(message, index, acceptsFloating,
                   [value](Kind kind, size_t, void* data) { writeFloating(kind, data, value); });
}

std::optional<std::string> APMNanoGetString(const NANOMessageBase& message, int index) {
  pb_field_iter_t field;
  if (!findSingular(message, index, &field) || !isText(kindOf(field)) ||
      *slotOf(field) == nullptr) {
    return std::nullopt;
  }
  return textOf(kindOf(field), *slotOf(field));
}

bool APMNanoSetString(NANOMessageBase& message, int index,
                      const std::optional<std::string>& value) {
  pb_field_iter_t field;
  if (!findSingular(message, index, &field) || !isText(kindOf(field))) {
    return false;
  }
  if (!value) {
    nano_detail::releaseField(field);
    return true;
  }
  void* block = textBlock(kindOf(field), *value);
  if (block == nullptr) {
    return false;
  }
  nano_detail::releaseField(field);
  *slotOf(field) = block;
  return true;
}

bool APMNanoSetMessage(NANOMessageBase& message, int index, const NANOMessageBase& value) {
  pb_field_iter_t field;
  if (!findSingular(message, index, &field) || kindOf(field) != Kind::Message ||
      field.submsg_desc != value.messageInfo().descriptor) {
    return false;
  }
  // Copy first: `value` may be this very message, or hold the block about to be released.
  void* block = std::calloc(1, field.data_size);
  if (block == nullptr) {
    return false;
  }
  if (!nano_detail::copyStruct(field.submsg_desc, block, value.rawMessage())) {
    nano_detail::releaseStruct(field.submsg_desc, block);
    std::free(block);
    return false;
  }
  nano_detail::releaseField(field);
  *slotOf(field) = block;
  return true;
}

namespace nano_detail {

const void* messageField(const NANOMessageBase& message, int index, const pb_msgdesc_t* expected) {
  pb_field_iter_t field;
  if (!findSingular(message, index, &field) || kindOf(field) != Kind::Message ||
      field.submsg_desc != expected) {
    return nullptr;
  }
  return *slotOf(field);
}

std::optional<std::vector<int64_t>> repeatedSigned(const NANOMessageBase& message, int index) {
  return readRepeated<int64_t>(message, index, acceptsInteger, readSigned);
}

std::optional<std::vector<uint64_t>> repeatedUnsigned(const NANOMessageBase& message, int index) {
  return readRepeated<uint64_t>(message, index, acceptsInteger, readUnsigned);
}

std::optional<std::vector<double>> repeatedDouble(const NANOMessageBase& message, int index) {
  return readRepeated<double>(message, index, acceptsNumber, readFloating);
}

std::optional<std::vector<bool>> repeatedBool(const NANOMessageBase& message, int index) {
  return readRepeated<bool>(message, index, acceptsInteger,
                            [](Kind kind, size_t size, const void* data) {
                              return readSigned(kind, size, data) != 0;
                            });
}

std::optional<std::vector<std::string>> repeatedString(const NANOMessageBase& message,
                                                       int index) {
  return readRepeated<std::string>(message, index, acceptsText,
                                   [](Kind kind, size_t, const void* data) {
                                     const void* block = *static_cast<const void* const*>(data);
                                     return block == nullptr ? std::string() : textOf(kind, block);
                                   });
}

std::optional<std::vector<const void*>> repeatedMessages(const NANOMessageBase& message, int index,
                                                         const pb_msgdesc_t* expected) {
  pb_field_iter_t field;
  if (!repeatedField(message, index, &field) || kindOf(field) != Kind::Message ||
      field.submsg_desc != expected) {
    return std::nullopt;
  }
  std::vector<const void*> elements;
  const pb_size_t count = *countOf(field);
  elements.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    elements.push_back(elementAt(field, i));
  }
  return elements;
}

bool setRepeatedSigned(NANOMessageBase& message, int index, const std::vector<int64_t>& values) {
  return replaceRepeated(message, index, values.size(), acceptsInteger,
                         [&](Kind, size_t size, void* element, size_t i) {
                           writeInteger(size, element, static_cast<uint64_t>(values[i]));
                           return true;
                         });
}

bool setRepeatedUnsigned(NANOMessageBase& message, int index,
                         const std::vector<uint64_t>& values) {
  return replaceRepeated(message, index, values.size(), acceptsInteger,
                         [&](Kind, size_t size, void* element, size_t i) {
                           writeInteger(size, element, values[i]);
                           return true;
                         });
}

bool setRepeatedDouble(NANOMessageBase& message, int index, const std::vector<double>& values) {
  return replaceRepeated(message, index, values.size(), acceptsFloating,
                         [&](Kind kind, size_t, void* element, size_t i) {
                           writeFloating(kind, element, values[i]);
                           return true;
                         });
}

bool setRepeatedBool(NANOMessageBase& message, int index, const std::vector<bool>& values) {
  return replaceRepeated(message, index, values.size(), acceptsBool,
                         [&](Kind, size_t size, void* element, size_t i) {
                           writeInteger(size, element, values[i] ? 1 : 0);
                           return true;
                         });
}

bool setRepeatedString(NANOMessageBase& message, int index,
                       const std::vector<std::string>& values) {
  return replaceRepeated(message, index, values.size(), acceptsText,
                         [&](Kind kind, size_t, void* element, size_t i) {
                           void* block = textBlock(kind, values[i]);
                           *static_cast<void**>(element) = block;
                           return block != nullptr;
                         });
}

bool setRepeatedMessages(NANOMessageBase& message, int index,
                         const std::vector<const NANOMessageBase*>& values) {
  pb_field_iter_t field;
  if (!findField(message, index, &field) || kindOf(field) != Kind::Message) {
    return false;
  }
  for (const NANOMessageBase* value : values) {
    if (value->messageInfo().descriptor != field.submsg_desc) {
      return false;
    }
  }
  const pb_msgdesc_t* descriptor = field.submsg_desc;
  return replaceRepeated(message, index, values.size(), acceptsMessage,
                         [&](Kind, size_t, void* element, size_t i) {
                           return copyStruct(descriptor, element, values[i]->rawMessage());
                         });
}

}  // namespace nano_detail
