#pragma once
// Joins audience evaluation to the engine: the audiences of a fetched configuration are stored,
// and every bundle evaluates its events and user properties and reports the audiences' results.

class APMAudienceComponent {
 public:
  // Fills the engine's audience slots and the configuration's audience updater for the engines
  // started from now on, unless an audience component is installed already.
  static void install();
};
