#include "NANOMessageBase.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

namespace {

size_t storageUnits(size_t structSize) {
  const size_t unit = sizeof(std::max_align_t);
  return structSize == 0 ? 1 : (structSize + unit - 1) / unit;
}

bool isRepeated(const pb_field_iter_t& field) {
  return PB_HTYPE(field.type) == PB_HTYPE_REPEATED;
}

bool isPointer(const pb_field_iter_t& field) {
  return PB_ATYPE(field.type) == PB_ATYPE_POINTER;
}

void** pointerSlot(const pb_field_iter_t& field) { return static_cast<void**>(field.pField); }

pb_size_t* countSlot(const pb_field_iter_t& field) { return static_cast<pb_size_t*>(field.pSize); }

// Heap blocks are handed to nanopb's pb_release, which frees with free(): allocate with malloc.
void* zeroedBlock(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }

char* copyString(const char* source) {
  const size_t length = std::strlen(source);
  auto* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) {
    std::memcpy(copy, source, length + 1);
  }
  return copy;
}

pb_bytes_array_t* copyBytes(const pb_bytes_array_t* source) {
  const size_t size = PB_BYTES_ARRAY_T_ALLOCSIZE(source->size);
  auto* copy = static_cast<pb_bytes_array_t*>(std::malloc(size));
  if (copy != nullptr) {
    std::memcpy(copy, source, size);
  }
  return copy;
}

// Copies one element stored inline at src (a scalar, a string or bytes pointer, or a struct).
bool copyElement(const pb_field_iter_t& field, void* dst, const void* src) {
  switch (PB_LTYPE(field.type)) {
    case PB_LTYPE_STRING: {
      const char* text = *static_cast<const char* const*>(src);
      if (text == nullptr) {
        return true;
      }
      char* copy = copyString(text);
      *static_cast<char**>(dst) = copy;
      return copy != nullptr;
    }
    case PB_LTYPE_BYTES: {
      auto* bytes = *static_cast<const pb_bytes_array_t* const*>(src);
      if (bytes == nullptr) {
        return true;
      }
      pb_bytes_array_t* copy = copyBytes(bytes);
      *static_cast<pb_bytes_array_t**>(dst) = copy;
      return copy != nullptr;
    }
    case PB_LTYPE_SUBMESSAGE:
    case PB_LTYPE_SUBMSG_W_CB:
      return nano_detail::copyStruct(field.submsg_desc, dst, src);
    default:
      std::memcpy(dst, src, field.data_size);
      return true;
  }
}

bool copyRepeatedField(const pb_field_iter_t& from, const pb_field_iter_t& to) {
  const pb_size_t count = *countSlot(from);
  const size_t elementSize = from.data_size;
  auto* array = static_cast<unsigned char*>(zeroedBlock(static_cast<size_t>(count) * elementSize));
  if (array == nullptr) {
    return false;
  }
  // Zeroed elements are safe to release, so the count can be published before the copies.
  *pointerSlot(to) = array;
  *countSlot(to) = count;
  const auto* source = static_cast<const unsigned char*>(*pointerSlot(from));
  for (pb_size_t i = 0; i < count; ++i) {
    if (!copyElement(from, array + i * elementSize, source + i * elementSize)) {
      return false;
    }
  }
  return true;
}

bool copyOptionalField(const pb_field_iter_t& from, const pb_field_iter_t& to) {
  const void* source = *pointerSlot(from);
  switch (PB_LTYPE(from.type)) {
    case PB_LTYPE_STRING:
      *pointerSlot(to) = copyString(static_cast<const char*>(source));
      return *pointerSlot(to) != nullptr;
    case PB_LTYPE_BYTES:
      *pointerSlot(to) = copyBytes(static_cast<const pb_bytes_array_t*>(source));
      return *pointerSlot(to) != nullptr;
    default: {
      void* block = zeroedBlock(from.data_size);
      *pointerSlot(to) = block;
      return block != nullptr && copyElement(from, block, source);
    }
  }
}

}  // namespace

namespace {

// Frees what a pointer field's slot holds; count is a repeated field's count slot (else null).
void releaseSlot(void** slot, pb_size_t* count, pb_type_t type, size_t dataSize, const pb_msgdesc_t* submessageType) {
  const bool repeated = PB_HTYPE(type) == PB_HTYPE_REPEATED;
  if (*slot == nullptr) {
    if (repeated && count != nullptr) {
      *count = 0;
    }
    return;
  }
  const bool submessage = PB_LTYPE_IS_SUBMSG(type);
  const bool heapElements = PB_LTYPE(type) == PB_LTYPE_STRING || PB_LTYPE(type) == PB_LTYPE_BYTES;
  if (repeated) {
    auto* array = static_cast<unsigned char*>(*slot);
    const pb_size_t elements = count != nullptr ? *count : 0;
    for (pb_size_t i = 0; i < elements; ++i) {
      void* element = array + static_cast<size_t>(i) * dataSize;
      if (submessage) {
        nano_detail::releaseStruct(submessageType, element);
      } else if (heapElements) {
        std::free(*static_cast<void**>(element));
      }
    }
    if (count != nullptr) {
      *count = 0;
    }
  } else if (submessage) {
    nano_detail::releaseStruct(submessageType, *slot);
  }
  std::free(*slot);
  *slot = nullptr;
}

}  // namespace

void nano_detail::releaseField(const pb_field_iter_t& field) {
  releaseSlot(pointerSlot(field), isRepeated(field) ? countSlot(field) : nullptr, field.type, field.data_size,
              field.submsg_desc);
}

namespace {

// Read-only scratch struct for walking descriptors without a message: pointer fields read null.
alignas(std::max_align_t) const unsigned char kEmptyStruct[kNANOMaxStructSize] = {};

// What releasing a message and the decoding preflight need of its type's fields, read from the
// descriptors once per type (per thread, so no lock is taken): nanopb decodes every descriptor entry
// it walks past, which for a bundle's sixty fields cost more than the work done on them, at every
// decode and every release.
struct FieldLayout {
  uint32_t tag = 0;
  pb_type_t type = 0;
  const pb_msgdesc_t* submessageType = nullptr;
  size_t dataSize = 0;
  ptrdiff_t slotOffset = 0;
  ptrdiff_t countOffset = -1;  // a repeated field's count slot; -1: none
};

struct TypeLayout {
  bool hasFields = false;
  std::vector<FieldLayout> fields;  // in the descriptors' order
  std::vector<FieldLayout> byTag;   // the same, ordered by tag for lookups

  const FieldLayout* find(uint32_t tag) const {
    auto at = std::lower_bound(byTag.begin(), byTag.end(), tag,
                               [](const FieldLayout& field, uint32_t wanted) { return field.tag < wanted; });
    return at != byTag.end() && at->tag == tag ? &*at : nullptr;
  }
};

const TypeLayout& layoutOf(const pb_msgdesc_t* descriptor) {
  thread_local std::unordered_map<const pb_msgdesc_t*, TypeLayout> layouts;
  auto known = layouts.find(descriptor);
  if (known != layouts.end()) {
    return known->second;
  }
  TypeLayout layout;
  pb_field_iter_t field;
  layout.hasFields = pb_field_iter_begin_const(&field, descriptor, kEmptyStruct);
  if (layout.hasFields) {
    const auto* base = reinterpret_cast<const char*>(kEmptyStruct);
    const auto within = [base](const void* slot) {
      const auto* at = static_cast<const char*>(slot);
      return at >= base && at < base + kNANOMaxStructSize;
    };
    do {
      FieldLayout entry;
      entry.tag = field.tag;
      entry.type = field.type;
      entry.submessageType = field.submsg_desc;
      entry.dataSize = field.data_size;
      entry.slotOffset = static_cast<const char*>(field.pField) - base;
      if (isRepeated(field) && field.pSize != nullptr && within(field.pSize)) {
        entry.countOffset = static_cast<const char*>(field.pSize) - base;
      }
      layout.fields.push_back(entry);
    } while (pb_field_iter_next(&field));
  }
  layout.byTag = layout.fields;
  std::stable_sort(layout.byTag.begin(), layout.byTag.end(),
                   [](const FieldLayout& a, const FieldLayout& b) { return a.tag < b.tag; });
  return layouts.emplace(descriptor, std::move(layout)).first->second;
}

// True when the rest of the stream holds no NUL byte.
bool withoutNul(pb_istream_t* stream) {
  pb_byte_t chunk[256];
  while (stream->bytes_left > 0) {
    const size_t size = stream->bytes_left < sizeof(chunk) ? stream->bytes_left : sizeof(chunk);
    if (!pb_read(stream, chunk, size) || std::memchr(chunk, 0, size) != nullptr) {
      return false;
    }
  }
  return true;
}

// Walks the encoding before nanopb decodes it: refuses nesting deeper than the limit, and string
// fields holding a NUL byte (a nanopb string ends at its first NUL, so the rest would be lost
// without a trace).
bool preflight(const pb_msgdesc_t* descriptor, pb_istream_t* stream, int depth) {
  if (depth > kNANOMaxNestingDepth) {
    return false;
  }
  const TypeLayout& layout = layoutOf(descriptor);
  while (stream->bytes_left > 0) {
    pb_wire_type_t wireType;
    uint32_t tag = 0;
    bool eof = false;
    if (!pb_decode_tag(stream, &wireType, &tag, &eof) || tag == 0) {
      return false;
    }
    const FieldLayout* field = layout.hasFields && wireType == PB_WT_STRING ? layout.find(tag) : nullptr;
    const bool nested = field != nullptr && PB_LTYPE_IS_SUBMSG(field->type);
    const bool text = field != nullptr && PB_LTYPE(field->type) == PB_LTYPE_STRING;
    if (!nested && !text) {
      if (!pb_skip_field(stream, wireType)) {
        return false;
      }
      continue;
    }
    pb_istream_t substream;
    if (!pb_make_string_substream(stream, &substream)) {
      return false;
    }
    const bool ok = nested ? preflight(field->submessageType, &substream, depth + 1)
                           : withoutNul(&substream);
    if (!pb_close_string_substream(stream, &substream) || !ok) {
      return false;
    }
  }
  return true;
}

// One varint at `at` in its shortest form; its value.
std::optional<uint64_t> shortestVarint(const uint8_t* bytes, size_t size, size_t& at) {
  uint64_t value = 0;
  const size_t start = at;
  for (int shift = 0; shift < 64 && at < size; shift += 7) {
    const uint8_t byte = bytes[at++];
    value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) != 0) continue;
    // A longer form ends in a zero byte; the tenth byte carries one bit only.
    if (at - start > 1 && byte == 0) return std::nullopt;
    if (at - start == 10 && byte > 1) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

// Whether a varint value of a field of this type is one the decoder keeps as it is.
bool varintFits(pb_type_t type, size_t dataSize, uint64_t value) {
  switch (PB_LTYPE(type)) {
    case PB_LTYPE_BOOL:
      return value <= 1;
    case PB_LTYPE_UVARINT:
      return dataSize >= 8 || value <= UINT32_MAX;
    case PB_LTYPE_VARINT: {
      if (dataSize >= 8) return true;
      const auto signedValue = static_cast<int64_t>(value);
      return signedValue >= INT32_MIN && signedValue <= INT32_MAX;
    }
    case PB_LTYPE_SVARINT: {
      if (dataSize >= 8) return true;
      const auto decoded = static_cast<int64_t>((value >> 1) ^ (~(value & 1) + 1));
      return decoded >= INT32_MIN && decoded <= INT32_MAX;
    }
    default:
      return false;
  }
}

bool canonicalMessage(const pb_msgdesc_t* descriptor, const uint8_t* bytes, size_t size, int depth);

// One scalar value (not packed) of field at `at`.
bool canonicalScalar(const FieldLayout& field, const uint8_t* bytes, size_t size, size_t& at) {
  switch (PB_LTYPE(field.type)) {
    case PB_LTYPE_FIXED32:
      if (size - at < 4) return false;
      at += 4;
      return true;
    case PB_LTYPE_FIXED64:
      if (size - at < 8) return false;
      at += 8;
      return true;
    default: {
      const auto value = shortestVarint(bytes, size, at);
      return value && varintFits(field.type, field.dataSize, *value);
    }
  }
}

bool canonicalField(const FieldLayout& field, uint32_t wireType, const uint8_t* bytes, size_t size, size_t& at,
                    int depth) {
  const pb_type_t ltype = PB_LTYPE(field.type);
  const bool repeated = PB_HTYPE(field.type) == PB_HTYPE_REPEATED;
  const bool packable = ltype <= PB_LTYPE_LAST_PACKABLE;
  if (packable && !repeated) {
    const uint32_t expected = ltype == PB_LTYPE_FIXED32   ? PB_WT_32BIT
                              : ltype == PB_LTYPE_FIXED64 ? PB_WT_64BIT
                                                          : PB_WT_VARINT;
    return wireType == expected && canonicalScalar(field, bytes, size, at);
  }
  if (wireType != PB_WT_STRING) return false;
  const auto length = shortestVarint(bytes, size, at);
  if (!length || *length > size - at) return false;
  const size_t end = at + static_cast<size_t>(*length);
  const uint8_t* body = bytes + at;
  const size_t bodySize = end - at;
  bool ok = false;
  if (packable) {
    // The encoder packs every repeated number, and writes no field for an empty array.
    size_t inner = 0;
    ok = bodySize > 0;
    while (ok && inner < bodySize) ok = canonicalScalar(field, body, bodySize, inner);
  } else if (ltype == PB_LTYPE_STRING) {
    ok = std::memchr(body, 0, bodySize) == nullptr;
  } else if (ltype == PB_LTYPE_BYTES) {
    ok = true;
  } else if (ltype == PB_LTYPE_SUBMESSAGE) {
    ok = canonicalMessage(field.submessageType, body, bodySize, depth + 1);
  }
  at = end;
  return ok;
}

bool canonicalMessage(const pb_msgdesc_t* descriptor, const uint8_t* bytes, size_t size, int depth) {
  if (depth > kNANOMaxNestingDepth) return false;
  const TypeLayout& layout = layoutOf(descriptor);
  uint32_t previousTag = 0;
  size_t at = 0;
  while (at < size) {
    const auto key = shortestVarint(bytes, size, at);
    if (!key || (*key >> 3) == 0 || (*key >> 3) > UINT32_MAX) return false;
    const auto tag = static_cast<uint32_t>(*key >> 3);
    const FieldLayout* field = layout.hasFields ? layout.find(tag) : nullptr;
    if (field == nullptr || tag < previousTag) return false;
    const bool repeated = PB_HTYPE(field->type) == PB_HTYPE_REPEATED;
    const bool packed = repeated && PB_LTYPE(field->type) <= PB_LTYPE_LAST_PACKABLE;
    if (tag == previousTag && (!repeated || packed)) return false;
    if (!canonicalField(*field, static_cast<uint32_t>(*key & 7), bytes, size, at, depth)) return false;
    previousTag = tag;
  }
  return true;
}

// Room for a small message's encoding from the start, so its many small writes do not regrow it.
constexpr size_t kEncodeInitialCapacity = 256;

bool appendToData(pb_ostream_t* stream, const pb_byte_t* bytes, size_t count) {
  auto* out = static_cast<platform::Data*>(stream->state);
  out->insert(out->end(), bytes, bytes + count);
  return true;
}

}  // namespace

uint32_t NANOMessageInfo::tagForIndex(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= fieldCount) {
    return 0;
  }
  return indexToTag[index];
}

namespace nano_detail {

void releaseStruct(const pb_msgdesc_t* descriptor, void* message) {
  auto* base = static_cast<char*>(message);
  for (const FieldLayout& field : layoutOf(descriptor).fields) {
    if (PB_ATYPE(field.type) != PB_ATYPE_POINTER) {
      continue;
    }
    auto* count = field.countOffset >= 0 ? reinterpret_cast<pb_size_t*>(base + field.countOffset) : nullptr;
    releaseSlot(reinterpret_cast<void**>(base + field.slotOffset), count, field.type, field.dataSize,
                field.submessageType);
  }
}

bool copyStruct(const pb_msgdesc_t* descriptor, void* dst, const void* src) {
  pb_field_iter_t from;
  pb_field_iter_t to;
  if (!pb_field_iter_begin_const(&from, descriptor, src) ||
      !pb_field_iter_begin(&to, descriptor, dst)) {
    return true;
  }
  do {
    if (!isPointer(from)) {
      // Every field is generated as a pointer field (proto/messages.options); a static one
      // would mean the options were lost, and copying it half-way would be worse than failing.
      return false;
    }
    if (*pointerSlot(from) == nullptr) {
      continue;
    }
    const bool ok = isRepeated(from) ? copyRepeatedField(from, to) : copyOptionalField(from, to);
    if (!ok) {
      return false;
    }
  } while (pb_field_iter_next(&from) && pb_field_iter_next(&to));
  return true;
}

bool passesPreflight(const pb_msgdesc_t* descriptor, const uint8_t* bytes, size_t size) {
  pb_istream_t stream = pb_istream_from_buffer(bytes, size);
  return preflight(descriptor, &stream, 0);
}

bool isCanonicalEncoding(const pb_msgdesc_t* descriptor, const uint8_t* bytes, size_t size) {
  return canonicalMessage(descriptor, bytes, size, 0);
}

}  // namespace nano_detail

NANOMessageBase::NANOMessageBase(const NANOMessageInfo& info)
    : info_(&info), storage_(new std::max_align_t[storageUnits(info.structSize)]) {
  // Value-initialising max_align_t leaves its padding undefined: zero the bytes themselves,
  // since every absent field must read as a null pointer.
  std::memset(storage_.get(), 0, storageUnits(info.structSize) * sizeof(std::max_align_t));
}

NANOMessageBase::NANOMessageBase(const NANOMessageBase& other) : NANOMessageBase(*other.info_) {
  if (!copyFrom(other.rawMessage())) {
    throw std::bad_alloc();
  }
}

NANOMessageBase::~NANOMessageBase() { releaseContent(); }

void NANOMessageBase::releaseContent() {
  nano_detail::releaseStruct(info_->descriptor, rawMessage());
  std::memset(rawMessage(), 0, info_->structSize);
}

bool NANOMessageBase::copyFrom(const void* rawSource) {
  releaseContent();
  if (nano_detail::copyStruct(info_->descriptor, rawMessage(), rawSource)) {
    return true;
  }
  releaseContent();
  return false;
}

bool NANOMessageBase::decodeFrom(const uint8_t* bytes, size_t size) {
  releaseContent();
  if (!nano_detail::passesPreflight(info_->descriptor, bytes, size)) {
    return false;
  }
  pb_istream_t stream = pb_istream_from_buffer(bytes, size);
  // The struct is all zeros (releaseContent), which is what setting every pointer field to its
  // default would write: nanopb is spared a walk over every field of the type.
  if (!pb_decode_ex(&stream, info_->descriptor, rawMessage(), PB_DECODE_NOINIT)) {
    // pb_decode has already released what it allocated.
    std::memset(rawMessage(), 0, info_->structSize);
    return false;
  }
  return true;
}

bool NANOMessageBase::encode(platform::Data& bytes) const {
  // Written in one pass into a growing buffer: sizing the message first walked every field of
  // every submessage once more, a third of the cost of encoding a bundle.
  bytes.clear();
  bytes.reserve(kEncodeInitialCapacity);
  pb_ostream_t stream{};
  stream.callback = &appendToData;
  stream.state = &bytes;
  stream.max_size = SIZE_MAX;
  if (!pb_encode(&stream, info_->descriptor, rawMessage())) {
    bytes.clear();
    return false;
  }
  return true;
}

platform::Data NANOMessageBase::protoBuffer() const {
  platform::Data bytes;
  encode(bytes);
  return bytes;
}

bool NANOMessageBase::isEqual(const NANOMessageBase& other) const {
  if (info_->descriptor != other.info_->descriptor) {
    return false;
  }
  platform::Data mine;
  platform::Data theirs;
  return encode(mine) && other.encode(theirs) && mine == theirs;
}
