#include "APMEphemeralIdentifiers.h"

#include <climits>

#include "APMIdentity.h"
#include "platform/Clock.h"

APMEphemeralIdentifiers::APMEphemeralIdentifiers(std::shared_ptr<platform::DispatchQueue> workerQueue,
                                                 std::function<bool()> isAnalyticsStorageDenied)
    : queue_(std::move(workerQueue)), isAnalyticsStorageDenied_(std::move(isAnalyticsStorageDenied)) {}

std::string APMEphemeralIdentifiers::ephemeralAppInstanceID() {
  std::string id;
  queue_->sync([&] {
    if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = APMIdentity::randomAppInstanceID();
    id = *ephemeralAppInstanceID_;
  });
  return id;
}

void APMEphemeralIdentifiers::resetEphemeralAppInstanceID() {
  queue_->async([self = shared_from_this()] { self->resetEphemeralAppInstanceIDOnWorkerQueue(); });
}

void APMEphemeralIdentifiers::resetEphemeralAppInstanceIDOnWorkerQueue() { ephemeralAppInstanceID_.reset(); }

// ---- Session stitching ----

std::optional<std::string> APMEphemeralIdentifiers::sessionStitchingTokenWithSessionNumber(int64_t sessionNumber,
                                                                                          bool sessionExpired,
                                                                                          bool userIDAvailable) {
  std::optional<std::string> token;
  queue_->sync([&] {
    if (isAnalyticsStorageDenied_()) return;
    const bool sameSession = sessionNumber_ == sessionNumber && sessionExpired_ == sessionExpired;
    const bool resumedAfterExpiry =
        sessionNumber_ && *sessionNumber_ < INT64_MAX && sessionNumber == *sessionNumber_ + 1 && sessionExpired_ && !sessionExpired;
    if (!sameSession && !resumedAfterExpiry) {
      sessionStitchingToken_.reset();
      sessionStitchingTokenExpiry_.reset();
    }
    sessionNumber_ = sessionNumber;
    sessionExpired_ = sessionExpired;

    const double now = platform::now();
    if (!userIDAvailable && sessionStitchingTokenExpiry_ && *sessionStitchingTokenExpiry_ <= now) {
      sessionStitchingToken_.reset();
      sessionStitchingTokenExpiry_.reset();
    }
    if (!sessionStitchingToken_) {
      sessionStitchingToken_ = APMIdentity::randomAppInstanceID();
      if (!userIDAvailable) sessionStitchingTokenExpiry_ = now + kSessionStitchingTokenLifetime;
    }
    token = sessionStitchingToken_;
  });
  return token;
}

void APMEphemeralIdentifiers::resetSessionStitchingToken() {
  queue_->async([self = shared_from_this()] { self->resetSessionStitchingTokenOnWorkerQueue(); });
}

void APMEphemeralIdentifiers::resetSessionStitchingTokenOnWorkerQueue() {
  sessionStitchingToken_.reset();
  sessionStitchingTokenExpiry_.reset();
}
