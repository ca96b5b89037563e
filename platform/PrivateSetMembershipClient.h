#pragma once
// The private-set-membership client of on-device conversion measurement: a component outside the
// SDK that, given an identifier the application supplied, builds a query for a data set, names the
// URL to send it to and reads the answer into a match value. The SDK only posts the payload and
// keeps the result. Absent by default; then every initiation is refused as "dependency not linked".

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Object.h"
#include "platform/Provider.h"
#include "platform/URL.h"

namespace platform {

// One query, for one identifier.
class PrivateSetMembershipClient {
 public:
  virtual ~PrivateSetMembershipClient() = default;
  // Which kind of identifier the query is about; the SDK picks its counter by it.
  virtual int64_t inputType() const = 0;
  // The bytes to post; empty when there is nothing to ask.
  virtual Data payloadWithPSMRequest() = 0;
  // Where to post them on the given attempt (0 for the first); none when there is nowhere.
  virtual std::optional<URL> PSMRequestURLWithRetryCount(int64_t retryCount) = 0;
  // The match value read from a reply; empty when there is no match.
  virtual std::string parsedPSMValueFromResponse(const Data& response) = 0;
  // A key that makes the data set answer in debug mode; none when the client offers none.
  virtual std::optional<std::string> debugKey() const { return std::nullopt; }
};

enum class PrivateSetMembershipIdentifier { EmailAddress, PhoneNumber, HashedEmailAddress, HashedPhoneNumber };

// What is registered: the client's class, which makes clients.
class PrivateSetMembershipClientClass : public Provider<PrivateSetMembershipClientClass> {
 public:
  static constexpr const char* kClassName = "APMPrivateSetMembershipClient";
  // The older name the same client may be registered under; looked up when kClassName is absent.
  static constexpr const char* kAlternativeClassName = "ODCPrivateSetMembershipClient";

  // The implementation under kClassName, else under kAlternativeClassName, else nullptr.
  static std::shared_ptr<PrivateSetMembershipClientClass> lookUp() {
    if (auto found = ClassRegistry::instance<PrivateSetMembershipClientClass>(kClassName)) return found;
    return ClassRegistry::instance<PrivateSetMembershipClientClass>(kAlternativeClassName);
  }

  // Whether clients can be made for that kind of identifier.
  virtual bool supports(PrivateSetMembershipIdentifier kind) const = 0;
  // A client for the identifier of that kind, the identity's app ID and the hash-prefix length
  // configured for it (a class that takes no prefix length ignores it); nullptr when none can be
  // made.
  virtual std::shared_ptr<PrivateSetMembershipClient> client(PrivateSetMembershipIdentifier kind, const std::string& identifier,
                                                             const std::string& appID, int64_t prefixBitLength) = 0;
};

}  // namespace platform
