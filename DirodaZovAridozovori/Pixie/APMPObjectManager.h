#pragma once
// The mark-and-sweep half of memory management.
//
// Ownership is reference counting; the collector exists to break reference cycles. Containers
// (arrays, maps, functions) register with their runtime's object manager, which tracks them weakly.
// A collection marks everything reachable from the roots and makes every unmarked container drop
// what it holds, so cycles among unreachable containers fall apart and are released.

#include <cstdint>
#include <string>
#include <vector>

#include "APMPRuntimeValue.h"

class APMPObjectManager;

// Worklist marking: deep structures never recurse on the native stack.
class APMPMarker {
 public:
  explicit APMPMarker(uint32_t epoch) : epoch_(epoch) {}
  void mark(const APMPRuntimeValue& value) {
    if (APMPObject* object = value.heapObject()) markObject(object);
  }
  void markObject(APMPObject* object) {
    if (!object || object->markEpoch_ == epoch_) return;
    object->markEpoch_ = epoch_;
    pending_.push_back(object);
  }
  void drain() {
    while (!pending_.empty()) {
      APMPObject* object = pending_.back();
      pending_.pop_back();
      object->markChildren(*this);
    }
  }
  uint32_t epoch() const { return epoch_; }

 private:
  uint32_t epoch_;
  std::vector<APMPObject*> pending_;
};

// A container the object manager tracks.
class APMPTrackedObject : public APMPObject {
 public:
  ~APMPTrackedObject() override;
  // Drops every reference this object holds; the object is unusable afterwards.
  virtual void sweep() = 0;
  bool isSwept() const { return swept_; }

 protected:
  bool swept_ = false;

 private:
  friend class APMPObjectManager;
  APMPObjectManager* manager_ = nullptr;
  size_t slot_ = 0;
};

class APMPObjectManager {
 public:
  APMPObjectManager() = default;
  APMPObjectManager(const APMPObjectManager&) = delete;
  APMPObjectManager& operator=(const APMPObjectManager&) = delete;
  ~APMPObjectManager();

  // A null argument is ignored. Roots are held strongly for the manager's life.
  void addRoot(APMPObject* root);
  void removeRoot(APMPObject* root);
  void addObject(APMPTrackedObject* object);
  // Marks from the roots, then sweeps every tracked container that was not reached.
  void collectGarbage();
  // Sweeps every tracked container, reachable or not (the owning runtime is going away).
  void sweepAll();
  // Live tracked containers.
  size_t trackedObjectCount() const;
  const std::vector<APMPRef<APMPObject>>& roots() const { return roots_; }

  // Creation of containers, tracked by the object manager of the scope's runtime.
  static APMPRuntimeValue mapValueWithScope(APMPScope& scope);
  static APMPRuntimeValue arrayValueWithScope(APMPScope& scope);
  static APMPRuntimeValue arrayValueWithArray(APMPValueList elements, APMPScope& scope);
  static APMPRuntimeValue subarrayWithArray(const APMPArrayValue& array, size_t start, size_t length,
                                            APMPScope& scope);
  static APMPRuntimeValue functionValueWithFunctionName(std::string name,
                                                        std::vector<std::string> parameterNames,
                                                        APMPValueList statements,
                                                        APMPRef<APMPScope> definingScope);
  // Registers an already created container (natives and subclasses made by hosts).
  static APMPRuntimeValue track(APMPValueKind kind, APMPTrackedObject* object, APMPScope& scope);

 private:
  friend class APMPTrackedObject;
  void sweepUnmarked(uint32_t epoch);
  std::vector<APMPRef<APMPObject>> roots_;
  std::vector<APMPTrackedObject*> objects_;
  uint32_t epoch_ = 1;
};
