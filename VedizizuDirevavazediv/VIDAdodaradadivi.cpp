#include "VIDAdodaradadivi.h"

#include <mutex>

#include "VIDErrors.h"
#include "VIDInstallationID.h"
#include "platform/Paths.h"

namespace {

std::mutex sharedMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by sharedMutex.
std::shared_ptr<VIDAdodaradadivi>& sharedClient() {
  static auto& instance = *new std::shared_ptr<VIDAdodaradadivi>;
  return instance;
}

std::optional<std::string> generateID(platform::Error* error) {
  std::string reason;
  std::optional<std::string> id = VIDGenerateInstallationID(&reason);
  if (!id) {
    platform::setError(error, platform::Error(kVIDErrorDomain, kVIDErrorRandom,
                                              "Cannot generate an installation ID: " + reason));
  }
  return id;
}

}  // namespace

std::shared_ptr<VIDAdodaradadivi> VIDAdodaradadivi::installations() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  auto& instance = sharedClient();
  if (!instance) instance = create(platform::Paths::inDataDirectory(kStorageDirectory));
  return instance;
}

void VIDAdodaradadivi::resetInstallations() {
  std::lock_guard<std::mutex> lock(sharedMutex);
  sharedClient().reset();
}

std::shared_ptr<VIDAdodaradadivi> VIDAdodaradadivi::create(std::string storageDirectory,
                                                           platform::NotificationCenter& center) {
  return std::shared_ptr<VIDAdodaradadivi>(new VIDAdodaradadivi(std::move(storageDirectory), center));
}

VIDAdodaradadivi::VIDAdodaradadivi(std::string storageDirectory, platform::NotificationCenter& center)
    : store_(std::move(storageDirectory)),
      center_(center),
      queue_(platform::DispatchQueue::create("com.zoredode.installations.queue")) {}

void VIDAdodaradadivi::installationIDWithCompletion(IDCompletion completion) {
  // The client stays alive until the request is served, even when its owner lets go meanwhile.
  auto self = shared_from_this();
  queue_->async([self, completion = std::move(completion)] { self->loadOnQueue(completion); });
}

void VIDAdodaradadivi::loadOnQueue(const IDCompletion& completion) {
  std::optional<platform::Error> failure;
  if (!cachedID_) {
    bool created = false;
    platform::Error error;
    cachedID_ = store_.loadOrCreate(generateID, &created, &error);
    if (!cachedID_) failure = error;
    if (created) center_.post(ZORInstallationIDDidChangeNotification, this);
  }
  if (!completion) return;
  platform::DispatchQueue::main()->async(
      [completion, id = cachedID_, failure] { completion(id, failure); });
}
