#pragma once
// The object form of a nanopb message: one class per APMPB message (generated into
// APMPBMessages.h), all sharing this base, which owns the nanopb struct and every heap block
// hanging from it.
//
// A message object is a plain value with identity: it is not synchronised, so a caller that
// shares one across queues guards it or hands out copies.

#include <pb.h>
#include <pb_common.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/Object.h"

// Decoded input may nest sub-messages no deeper than this. nanopb decodes recursively, so
// without a bound a few hundred kilobytes of crafted configuration would exhaust the stack.
inline constexpr int kNANOMaxNestingDepth = 100;

// The largest nanopb struct the generated classes may use (checked when they are generated).
inline constexpr size_t kNANOMaxStructSize = 4096;

// What the generated classes tell the base about their nanopb message.
struct NANOMessageInfo {
  const char* className;
  const pb_msgdesc_t* descriptor;
  size_t structSize;
  // Field index -> wire tag; 0 marks a position whose field this library does not carry.
  const uint32_t* indexToTag;
  size_t fieldCount;

  // The tag of a field index, or 0 when the index names no field.
  uint32_t tagForIndex(int index) const;
};

class NANOMessageBase {
 public:
  virtual ~NANOMessageBase();
  NANOMessageBase& operator=(const NANOMessageBase&) = delete;

  const NANOMessageInfo& messageInfo() const { return *info_; }

  // The protocol-buffer encoding (empty for an empty message).
  platform::Data protoBuffer() const;
  // The same into `bytes`; false (and empty bytes) only when the struct cannot be encoded, which
  // a message built through this library and its accessors never is.
  bool encode(platform::Data& bytes) const;

  // Same message type and same encoding (nanopb writes fields in tag order, so the encoding is
  // canonical for a given content).
  bool isEqual(const NANOMessageBase& other) const;

  // A deep copy with the dynamic type of this object.
  virtual std::shared_ptr<NANOMessageBase> copyMessage() const = 0;

  // The nanopb struct; its heap blocks belong to this object (release with pb_release rules).
  void* rawMessage() { return storage_.get(); }
  const void* rawMessage() const { return storage_.get(); }

 protected:
  explicit NANOMessageBase(const NANOMessageInfo& info);
  NANOMessageBase(const NANOMessageBase& other);

  // Replaces the content with the decoding of the bytes; false (and an empty message) when
  // they are not a valid encoding of this message type, nest too deep, or hold a string with a
  // NUL character (which a nanopb string cannot carry).
  bool decodeFrom(const uint8_t* bytes, size_t size);
  // Replaces the content with a deep copy of a nanopb struct of this type; false on exhaustion.
  bool copyFrom(const void* rawSource);

 private:
  void releaseContent();

  const NANOMessageInfo* info_;
  std::unique_ptr<std::max_align_t[]> storage_;
};

// Generic helpers the accessors and the base share.
namespace nano_detail {
// Frees the heap blocks of one pointer field (the field then reads absent, or never allocated).
void releaseField(const pb_field_iter_t& field);
// Frees every heap block of a nanopb struct.
void releaseStruct(const pb_msgdesc_t* descriptor, void* message);
// Deep-copies src into dst (a zeroed struct of the same type); false when memory ran out, in
// which case dst holds a partial copy that releaseStruct frees.
bool copyStruct(const pb_msgdesc_t* descriptor, void* dst, const void* src);
// True when the bytes nest sub-messages no deeper than kNANOMaxNestingDepth, hold no NUL byte in
// a string field, and are well formed at the wire level as far as this walk reads them.
bool passesPreflight(const pb_msgdesc_t* descriptor, const uint8_t* bytes, size_t size);
// True when the bytes are exactly what the encoder writes for what decoding them gives: every field
// one the type knows, in tag order, a singular field once, of its wire type, varints in their
// shortest form and within the field's range, repeated numbers packed, no NUL in a string, and
// sub-messages the same way. Such bytes can be carried as they are where the decode and encode
// would have written them again.
bool isCanonicalEncoding(const pb_msgdesc_t* descriptor, const uint8_t* bytes, size_t size);
}  // namespace nano_detail

// One generated message class, for code that handles messages by descriptor or by name.
struct NANOMessageClass {
  const NANOMessageInfo* info;
  std::shared_ptr<NANOMessageBase> (*create)();
  // nullptr when the bytes do not decode.
  std::shared_ptr<NANOMessageBase> (*decode)(const platform::Data& bytes);
};

template <class Derived, class Nano>
class NANOMessage : public NANOMessageBase {
 public:
  using NanoType = Nano;

  NANOMessage() : NANOMessageBase(Derived::messageInfo()) {}
  NANOMessage(const NANOMessage&) = default;

  // An object holding a deep copy of `message`, or an empty one for nullptr. nullptr only when
  // memory ran out while copying.
  static std::shared_ptr<Derived> initWithMessageInfo(const Nano* message = nullptr) {
    auto result = std::make_shared<Derived>();
    if (message != nullptr && !result->copyFrom(message)) {
      return nullptr;
    }
    return result;
  }

  // The decoded message, or nullptr when the bytes do not decode. Empty bytes are an empty
  // message, as the wire format has it.
  static std::shared_ptr<Derived> fromBuffer(const uint8_t* bytes, size_t size) {
    auto result = std::make_shared<Derived>();
    if (!result->decodeFrom(bytes, size)) {
      return nullptr;
    }
    return result;
  }
  static std::shared_ptr<Derived> fromBuffer(const platform::Data& data) {
    return fromBuffer(data.data(), data.size());
  }

  std::shared_ptr<Derived> copy() const {
    return std::make_shared<Derived>(static_cast<const Derived&>(*this));
  }
  std::shared_ptr<NANOMessageBase> copyMessage() const override { return copy(); }

  Nano& nano() { return *static_cast<Nano*>(rawMessage()); }
  const Nano& nano() const { return *static_cast<const Nano*>(rawMessage()); }
};
