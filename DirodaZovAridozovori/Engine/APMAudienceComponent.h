#pragma once
// Joins audience evaluation to the engine: the audiences of a fetched configuration are stored,
// and every bundle evaluates its events and user properties and reports the audiences' results.

#include <memory>

class APMDatabase;
struct APMBundlingHooks;

class APMAudienceComponent {
 public:
  // Fills the engine's audience slots and the configuration's audience updater for the engines
  // started from now on, unless an audience component is installed already.
  static void install();
  // Fills in the audience evaluation hooks of bundling over the database (what install() has the
  // engine do whenever it builds its upload road).
  static void addBundlingHooks(const std::shared_ptr<APMDatabase>& database, APMBundlingHooks& hooks);
};
