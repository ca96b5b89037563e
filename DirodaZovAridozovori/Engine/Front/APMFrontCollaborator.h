#pragma once
// A part of the SDK that the front hands what the engine does not see: screen views, links and
// store purchases as the host reports them, and the application's activation. Every call has an
// empty default, so a collaborator overrides only what it takes. The front calls its collaborators
// in the order APMFrontCollaborators.cpp lists them; it never names one.
//
// Threads: none of the calls may wait for the front's queues. Each says where it runs.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Object.h"
#include "platform/StoreTransaction.h"

class APMEngineContext;
struct APMPurchaseTransaction;

class APMFrontCollaborator {
 public:
  virtual ~APMFrontCollaborator() = default;

  // ---- Screens: a "screen_view" event, on the caller's thread, with the time of the call.
  virtual void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp) {
    (void)parameters;
    (void)timestamp;
  }

  // ---- Links.
  // A URL the host opened, at once: the debug-mode switch it may carry.
  virtual void handleSSTGDebugModeWithURL(const std::string& url) { (void)url; }
  // The same URL (or a user activity's) as an event of the started engine, on the serial queue
  // (engine: its context; nullptr before the front has started one).
  virtual void handleNonFirstOpenEventURL(const std::shared_ptr<APMEngineContext>& engine, const std::string& url,
                                          double timestamp) {
    (void)engine;
    (void)url;
    (void)timestamp;
  }
  // The URL a user activity carries, on the serial queue; the first collaborator that answers
  // decides (no answer: the activity carries none).
  virtual std::optional<std::string> deepLinkFromUserActivity(const std::string& activityType,
                                                              const std::string& webpageURL) {
    (void)activityType;
    (void)webpageURL;
    return std::nullopt;
  }

  // ---- Purchases: a transaction the host handed in (caller's thread), and the store's updates
  // that passed the engine's duplicate filter (worker queue).
  virtual void reportTransaction(const platform::StoreTransaction& transaction) { (void)transaction; }
  virtual void reportFilteredTransactions(const std::vector<APMPurchaseTransaction>& transactions) {
    (void)transactions;
  }

  // ---- The application's activation.
  // Whether the application is active, for the owner of that state (any queue); the first
  // collaborator that answers owns it, and then also tells the session reporter of activation
  // changes: the engine's own handlers leave both alone.
  virtual std::optional<bool> isAppActive() { return std::nullopt; }
  // The application became active or resigns, on the posting thread, before the engine's own
  // observers hear it (engine: the started engine's context; nullptr before the front started one).
  // Every collaborator hears it from the process's start on, before the SDK is configured too.
  virtual void applicationDidBecomeActive(const std::shared_ptr<APMEngineContext>& engine) { (void)engine; }
  virtual void applicationWillResignActive(const std::shared_ptr<APMEngineContext>& engine) { (void)engine; }
};

using APMFrontCollaboratorList = std::vector<std::shared_ptr<APMFrontCollaborator>>;
