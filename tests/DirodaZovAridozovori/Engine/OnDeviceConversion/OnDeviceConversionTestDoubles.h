#pragma once
// Stand-ins for the on-device conversion components a host may link: a query client class that
// records the clients it makes, and a conversion service that gives the answers queued for it.
// The worker queue calls them while the test reads them: everything is guarded by one mutex.

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/ConversionService.h"
#include "platform/PrivateSetMembershipClient.h"

namespace odmtest {

using Kind = platform::PrivateSetMembershipIdentifier;

struct ClientSetup {
  int64_t inputType = 1;
  platform::Data payload{'q'};
  std::optional<std::string> url;  // none: the client names no URL
  std::optional<std::string> debugKey;
};

// Its reply's body is the match value.
class FakePSMClient : public platform::PrivateSetMembershipClient {
 public:
  explicit FakePSMClient(ClientSetup setup) : setup_(std::move(setup)) {}
  int64_t inputType() const override { return setup_.inputType; }
  platform::Data payloadWithPSMRequest() override { return setup_.payload; }
  std::optional<platform::URL> PSMRequestURLWithRetryCount(int64_t retryCount) override {
    std::lock_guard<std::mutex> lock(mutex_);
    retryCounts_.push_back(retryCount);
    return setup_.url ? platform::URL::parse(*setup_.url) : std::nullopt;
  }
  std::string parsedPSMValueFromResponse(const platform::Data& body) override { return {body.begin(), body.end()}; }
  std::optional<std::string> debugKey() const override { return setup_.debugKey; }
  std::vector<int64_t> retryCounts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return retryCounts_;
  }

 private:
  const ClientSetup setup_;
  std::mutex mutex_;
  std::vector<int64_t> retryCounts_;
};

class FakePSMClientClass : public platform::PrivateSetMembershipClientClass {
 public:
  struct Made {
    Kind kind;
    std::string identifier, appID;
    int64_t prefixBitLength;
    std::shared_ptr<FakePSMClient> client;
  };
  explicit FakePSMClientClass(ClientSetup setup = {},
                              std::set<Kind> supported = {Kind::EmailAddress, Kind::PhoneNumber,
                                                          Kind::HashedEmailAddress, Kind::HashedPhoneNumber})
      : setup_(std::move(setup)), supported_(std::move(supported)) {}
  bool supports(Kind kind) const override { return supported_.count(kind) != 0; }
  std::shared_ptr<platform::PrivateSetMembershipClient> client(Kind kind, const std::string& identifier,
                                                               const std::string& appID,
                                                               int64_t prefixBitLength) override {
    auto client = std::make_shared<FakePSMClient>(setup_);
    std::lock_guard<std::mutex> lock(mutex_);
    made_.push_back({kind, identifier, appID, prefixBitLength, client});
    return client;
  }
  std::vector<Made> made() {
    std::lock_guard<std::mutex> lock(mutex_);
    return made_;
  }

 private:
  const ClientSetup setup_;
  const std::set<Kind> supported_;
  std::mutex mutex_;
  std::vector<Made> made_;
};

// Answers each fetch at once with the next queued answer; without one it never answers.
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
    firstLaunchTimes.push_back(firstLaunchTime);
  }
  void fetchMeasurementInfoForInteraction(int64_t interaction, Completion completion) override {
    std::unique_lock<std::mutex> lock(mutex_);
    interactions.push_back(interaction);
    if (answers_.empty()) return;
    Answer answer = answers_.front();
    answers_.erase(answers_.begin());
    lock.unlock();
    completion(answer.value, answer.error);
  }
  std::string versionString() const override { return std::to_string(version_); }
  int64_t versionNumber() const override { return version_; }

  // Read once the worker queue is drained.
  std::vector<std::optional<platform::Date>> firstLaunchTimes;
  std::vector<int64_t> interactions;

 private:
  const int64_t version_;
  std::mutex mutex_;
  std::vector<Answer> answers_;
};

}  // namespace odmtest
