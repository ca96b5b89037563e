#pragma once
// The installation client: hands out this installation's identifier, a 22-character text made
// once from secure random bytes and kept in the data directory (see VIDInstallationIDStore).
//
// Every request is served on the client's own serial queue, so concurrent first requests create
// one identifier; completions run on the main queue, which the host drains.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/NotificationCenter.h"

#include "VIDInstallationIDStore.h"

// Posted (sender: the client) when the client's installation identifier changes, that is when it
// stores a new one. Observers read no user info; they ask the client again.
inline constexpr const char* ZORInstallationIDDidChangeNotification = "ZORInstallationIDDidChangeNotification";

class VIDAdodaradadivi : public std::enable_shared_from_this<VIDAdodaradadivi> {
 public:
  // Receives the identifier, or none and the error that prevented reading or creating it.
  using IDCompletion =
      std::function<void(const std::optional<std::string>& installationID, const std::optional<platform::Error>& error)>;

  // Where the shared client keeps its identifier, below the data directory.
  static constexpr const char* kStorageDirectory = "Diroda/Installations";

  // The client of the default app, created on first use in the data directory of that moment.
  static std::shared_ptr<VIDAdodaradadivi> installations();
  // Forgets the shared client (tests); the stored identifier stays on disk.
  static void resetInstallations();

  // A client keeping its identifier in storageDirectory and posting to center.
  static std::shared_ptr<VIDAdodaradadivi> create(
      std::string storageDirectory, platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter());

  // Reads the stored identifier (creating it on first use) and calls completion on the main queue.
  void installationIDWithCompletion(IDCompletion completion);

  const std::string& storageDirectory() const { return store_.directory(); }

 private:
  VIDAdodaradadivi(std::string storageDirectory, platform::NotificationCenter& center);
  void loadOnQueue(const IDCompletion& completion);

  VIDInstallationIDStore store_;
  platform::NotificationCenter& center_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  // Confined to queue_: the identifier once read, so later requests do not touch the disk.
  std::optional<std::string> cachedID_;
};
