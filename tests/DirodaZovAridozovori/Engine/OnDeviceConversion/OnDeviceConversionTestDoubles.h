#pragma once
// Stand-ins for the on-device conversion components a host may link: a private-set-membership
// client class that records the clients it makes, and a conversion service whose answers the test
// gives. Both are touched by the engine's worker queue and read by the test: guarded by a mutex.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/ConversionService.h"
#include "platform/PrivateSetMembershipClient.h"

namespace odmtest {

using platform::PrivateSetMembershipIdentifier;

class FakePSMClient : public platform::PrivateSetMembershipClient {
 public:
  struct Setup {
    int64_t inputType = 1;
    platform::Data payload{'q', 'u', 'e', 'r', 'y'};
    std::optional<std::string> url;  // none: the client names no URL
    std::optional<std::string> debugKey;
  };
  explicit FakePSMClient(Setup setup) : setup_(std::move(setup)) {}

  int64_t inputType() const override { return setup_.inputType; }
  platform::Data payloadWithPSMRequest() override { return setup_.payload; }
  std::optional<platform::URL> PSMRequestURLWithRetryCount(int64_t retryCount) override {
    std::lock_guard<std::mutex> lock(mutex_);
    retryCounts_.push_back(retryCount);
    return setup_.url ? platform::URL::parse(*setup_.url) : std::nullopt;
  }
  // The reply's body is the match value.
  std::string parsedPSMValueFromResponse(const platform::Data& response) override {
    return std::string(response.begin(), response.end());
  }
  std::optional<std::string> debugKey() const override { return setup_.debugKey; }

  std::vector<int64_t> retryCounts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return retryCounts_;
  }

 private:
  const Setup setup_;
  mutable std::mutex mutex_;
  std::vector<int64_t> retryCounts_;
};

class FakePSMClientClass : public platform::PrivateSetMembershipClientClass {
 public:
  struct Made {
    PrivateSetMembershipIdentifier kind;
    std::string identifier, appID;
    int64_t prefixBitLength;
  };

  explicit FakePSMClientClass(FakePSMClient::Setup setup = {},
                              std::set<PrivateSetMembershipIdentifier> supported = {
                                  PrivateSetMembershipIdentifier::EmailAddress,
                                  PrivateSetMembershipIdentifier::PhoneNumber,
                                  PrivateSetMembershipIdentifier::HashedEmailAddress,
                                  PrivateSetMembershipIdentifier::HashedPhoneNumber})
      : setup_(std::move(setup)), supported_(std::move(supported)) {}

  bool supports(PrivateSetMembershipIdentifier kind) const override { return supported_.count(kind) != 0; }
  std::shared_ptr<platform::PrivateSetMembershipClient> client(PrivateSetMembershipIdentifier kind,
                                                               const std::string& identifier, const std::string& appID,
                                                               int64_t prefixBitLength) override {
    auto made = std::make_shared<FakePSMClient>(setup_);
    std::lock_guard<std::mutex> lock(mutex_);
    made_.push_back({kind, identifier, appID, prefixBitLength});
    clients_.push_back(made);
    return made;
  }

  std::vector<Made> made() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return made_;
  }
  std::shared_ptr<FakePSMClient> lastClient() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.empty() ? nullptr : clients_.back();
  }

 private:
  const FakePSMClient::Setup setup_;
  const std::set<PrivateSetMembershipIdentifier> supported_;
  mutable std::mutex mutex_;
  std::vector<Made> made_;
  std::vector<std::shared_ptr<FakePSMClient>> clients_;
};

// Answers each fetch with the next of the queued answers (or leaves it unanswered when none is
// queued), on the calling thread.
class FakeConversionService : public platform::ConversionService {
 public:
  struct Answer {
    std::optional<std::string> value;
    std::optional<platform::Error> error;
  };
  explicit FakeConversionService(int64_t version) : version_(version) {}

  void answerNext(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(std::move(answer));
  }
  void setFirstLaunchTime(std::optional<platform::Date> firstLaunchTime) override {
    std::lock_guard<std::mutex> lock(mutex_);
    firstLaunchTimes_.push_back(firstLaunchTime);
  }
  void fetchMeasurementInfoForInteraction(int64_t interaction, Completion completion) override {
    std::optional<Answer> answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      interactions_.push_back(interaction);
      if (!answers_.empty()) {
        answer = answers_.front();
        answers_.erase(answers_.begin());
      }
    }
    if (answer) completion(answer->value, answer->error);
  }
  std::string versionString() const override { return std::to_string(version_); }
  int64_t versionNumber() const override { return version_; }

  std::vector<std::optional<platform::Date>> firstLaunchTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return firstLaunchTimes_;
  }
  std::vector<int64_t> interactions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interactions_;
  }

 private:
  const int64_t version_;
  mutable std::mutex mutex_;
  std::vector<Answer> answers_;
  std::vector<std::optional<platform::Date>> firstLaunchTimes_;
  std::vector<int64_t> interactions_;
};

}  // namespace odmtest
