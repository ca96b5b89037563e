#pragma once
// A message held as its encoding, field by field: reading a field finds its bytes, and setting one
// writes just that field, so a message that is read a little and changed a little before it is
// encoded again never goes through the decoder and the encoder. What encode() writes is what the
// encoder writes for the message the decoder would read, with the same changes made on it.
//
// Built only from an encoding the encoder itself could have written (see
// nano_detail::isCanonicalEncoding); fields are kept in tag order, a repeated field's values in
// their order. Fields are named by their index, as the accessors name them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "NANOMessageBase.h"

class APMEncodedMessage {
 public:
  // None when the bytes are not exactly the encoder's own for the type; bytes are moved from only
  // when they are.
  static std::optional<APMEncodedMessage> fromCanonicalEncoding(const NANOMessageInfo& info, platform::Data&& bytes);
  static std::optional<APMEncodedMessage> fromCanonicalEncoding(const NANOMessageInfo& info,
                                                                const platform::Data& bytes) {
    return fromCanonicalEncoding(info, platform::Data(bytes));
  }
  // A message's own encoding, which is canonical.
  static APMEncodedMessage fromMessage(const NANOMessageBase& message);

  bool has(int index) const;
  std::optional<std::string> getString(int index) const;
  // The same text in place, valid until the message changes.
  std::optional<std::string_view> viewString(int index) const;
  // A varint field's value as the wire holds it (an int32's sign extended to 64 bits).
  std::optional<uint64_t> getVarint(int index) const;
  bool getBool(int index) const { return getVarint(index).value_or(0) != 0; }
  // The values of a length-delimited field (each occurrence's body), in order.
  std::vector<std::span<const uint8_t>> values(int index) const;

  // False, leaving the field as it was, for a text holding NUL (which a message's text cannot).
  bool setString(int index, std::string_view value);
  void setInt64(int index, int64_t value) { setVarint(index, static_cast<uint64_t>(value)); }
  // Written as the encoder writes an int32: sign extended, so a negative one takes ten bytes.
  void setInt32(int index, int32_t value) { setVarint(index, static_cast<uint64_t>(static_cast<int64_t>(value))); }
  void setBool(int index, bool value) { setVarint(index, value ? 1 : 0); }
  // Replaces every value of a repeated length-delimited field (strings, bytes, sub-messages' encodings).
  void setValues(int index, const std::vector<std::span<const uint8_t>>& values);
  // Replaces a repeated number field's values, packed as the encoder packs them (none: no field).
  void setPackedVarints(int index, const std::vector<uint64_t>& values);
  void clear(int index);

  // The length of the encoding, with a field's extra values (whole fields, key and length included)
  // put where the encoder writes that tag.
  size_t encodedSize(std::span<const uint8_t> extra = {}) const;
  // Appends the encoding to out, with extra put as encodedSize counts it.
  void appendEncoding(platform::Data& out, uint32_t extraTag = 0, std::span<const uint8_t> extra = {}) const;
  platform::Data encoding() const;

  const NANOMessageInfo& messageInfo() const { return *info_; }

 private:
  explicit APMEncodedMessage(const NANOMessageInfo& info) : info_(&info) {}
  // A whole field (key included): bytes [begin, end) of the original encoding, or of added_.
  struct Field {
    uint32_t tag = 0;
    bool added = false;
    uint32_t begin = 0;
    uint32_t end = 0;
    uint32_t valueBegin = 0;  // where its value starts (after the key, and a length)
  };
  std::span<const uint8_t> bytesOf(const Field& field) const;
  std::span<const uint8_t> valueOf(const Field& field) const;
  // The fields of tag: fields_ is in tag order, so they are one run found by halving.
  std::pair<std::vector<Field>::iterator, std::vector<Field>::iterator> fieldsOf(uint32_t tag);
  std::pair<std::vector<Field>::const_iterator, std::vector<Field>::const_iterator> fieldsOf(uint32_t tag) const;
  const Field* last(uint32_t tag) const;
  // A field of tag whose whole bytes write appends to added_ (returning where its value starts).
  template <typename Write>
  Field write(uint32_t tag, const Write& write);
  // Adds a field written by write, after the fields of its tag or lower.
  template <typename Write>
  void insert(uint32_t tag, const Write& write);
  // The field written by write becomes the only one of its tag.
  template <typename Write>
  void replace(uint32_t tag, const Write& write);
  void setVarint(int index, uint64_t value);

  static constexpr size_t kFirstAddedRoom = 256;
  static constexpr size_t kFieldsReservedAtMost = 128;

  const NANOMessageInfo* info_;
  platform::Data bytes_;
  platform::Data added_;
  std::vector<Field> fields_;
};
