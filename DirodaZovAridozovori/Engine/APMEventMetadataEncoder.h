#pragma once
// The encoded raw-event metadata of a group's events, assembled from parts that change at different
// paces: the bundle fields read from the identity, the configuration and the device (encoded once
// for as long as they hold), and the user properties (each encoded once, then spliced in). The
// bytes are exactly those of the whole metadata encoded at once: fields in tag order, the user
// properties in the order given.
//
// Owned by the event writer; worker queue only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "APMUserAttribute.h"
#include "platform/Object.h"

class NANOMessageBase;

class APMEventMetadataEncoder {
 public:
  // The metadata without user properties. False when its encoding cannot be split where the
  // user properties go (the encoder then has no fixed part).
  bool setFixedPart(const NANOMessageBase& metadata, int userAttributesIndex);
  bool hasFixedPart() const { return hasFixedPart_; }
  void clearFixedPart() { hasFixedPart_ = false; }

  // The fixed part with these user properties in their field.
  platform::Data encode(const std::vector<std::shared_ptr<APMUserAttribute>>& attributes);
  // The fingerprint of an encoding (APMDatabaseRawEvents::metadataFingerprint), remembered for the last few
  // encodings so that a property changed and changed back costs no second digest.
  int64_t fingerprint(const platform::Data& encoded);

  // The bytes of a user property's message (APMUserAttribute::protoUserAttribute), written
  // directly: a lifetime value changes with every purchase, and building the message to encode it
  // cost more than the rest of the metadata.
  static platform::Data encodeAttribute(const APMUserAttribute& attribute);

 private:
  struct EncodedAttribute {
    std::shared_ptr<APMUserAttribute> attribute;  // held, so its address is never another's
    platform::Data framed;                        // the field's key and length, then the message
  };
  const EncodedAttribute& encodedAttribute(const std::shared_ptr<APMUserAttribute>& attribute);

  bool hasFixedPart_ = false;
  uint32_t userAttributesKey_ = 0;  // the field's tag and wire type
  platform::Data prefix_;           // the fields before the user properties
  platform::Data suffix_;           // the fields after them
  std::unordered_map<std::string, EncodedAttribute> attributes_;  // the last encoding of each name
  // What the last encoding held, in its order (entries of attributes_, whose addresses stay put):
  // a group's properties come in the same order each time, mostly the same objects, so a property
  // found where it was needs no lookup by name.
  std::vector<const EncodedAttribute*> lastEncoded_;
  struct KnownFingerprint {
    platform::Data encoded;
    int64_t fingerprint = 0;
  };
  std::vector<KnownFingerprint> fingerprints_;  // most recent last
};
