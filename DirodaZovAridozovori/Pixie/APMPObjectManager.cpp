#include "APMPObjectManager.h"

#include <algorithm>

#include "APMPArrayValue.h"
#include "APMPFunctionValue.h"
#include "APMPMapValue.h"
#include "APMPScope.h"

APMPTrackedObject::~APMPTrackedObject() {
  if (manager_) manager_->objects_[slot_] = nullptr;
}

APMPObjectManager::~APMPObjectManager() {
  for (APMPTrackedObject* object : objects_)
    if (object) object->manager_ = nullptr;
}

void APMPObjectManager::addRoot(APMPObject* root) {
  if (root) roots_.emplace_back(root);
}

void APMPObjectManager::removeRoot(APMPObject* root) {
  auto it = std::find_if(roots_.begin(), roots_.end(), [&](const auto& r) { return r.get() == root; });
  if (it != roots_.end()) roots_.erase(it);
}

void APMPObjectManager::addObject(APMPTrackedObject* object) {
  if (!object || object->manager_) return;
  object->manager_ = this;
  object->slot_ = objects_.size();
  objects_.push_back(object);
}

size_t APMPObjectManager::trackedObjectCount() const {
  return static_cast<size_t>(std::count_if(objects_.begin(), objects_.end(),
                                           [](const APMPTrackedObject* o) { return o != nullptr; }));
}

void APMPObjectManager::collectGarbage() {
  ++epoch_;
  if (epoch_ == 0) epoch_ = 1;  // 0 is the epoch of objects never marked
  APMPMarker marker(epoch_);
  for (const auto& root : roots_) marker.markObject(root.get());
  marker.drain();
  sweepUnmarked(epoch_);
}

void APMPObjectManager::sweepAll() {
  ++epoch_;
  if (epoch_ == 0) epoch_ = 1;
  sweepUnmarked(epoch_);
}

void APMPObjectManager::sweepUnmarked(uint32_t epoch) {
  // Objects released while sweeping null their own slots; iterate by index and compact after.
  for (size_t i = 0; i < objects_.size(); ++i) {
    APMPTrackedObject* object = objects_[i];
    if (!object || object->markEpoch_ == epoch || object->refCount() == 0) continue;
    APMPRef<APMPTrackedObject> keep(object);
    object->sweep();
  }
  size_t out = 0;
  for (size_t i = 0; i < objects_.size(); ++i) {
    APMPTrackedObject* object = objects_[i];
    if (!object) continue;
    object->slot_ = out;
    objects_[out++] = object;
  }
  objects_.resize(out);
}

// ---------------------------------------------------------------------------------------------
// Creation

APMPRuntimeValue APMPObjectManager::track(APMPValueKind kind, APMPTrackedObject* object, APMPScope& scope) {
  APMPRuntimeValue value = APMPRuntimeValue::object(kind, object);
  if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(object);
  return value;
}

APMPRuntimeValue APMPObjectManager::mapValueWithScope(APMPScope& scope) {
  return track(APMPValueKind::Map, new APMPMapValue(), scope);
}

APMPRuntimeValue APMPObjectManager::arrayValueWithScope(APMPScope& scope) {
  return track(APMPValueKind::Array, new APMPArrayValue(), scope);
}

APMPRuntimeValue APMPObjectManager::arrayValueWithArray(APMPValueList elements, APMPScope& scope) {
  return track(APMPValueKind::Array, new APMPArrayValue(std::move(elements)), scope);
}

APMPRuntimeValue APMPObjectManager::subarrayWithArray(const APMPArrayValue& array, size_t start, size_t length,
                                                      APMPScope& scope) {
  const APMPValueList& all = array.elements();
  start = std::min(start, all.size());
  length = std::min(length, all.size() - start);
  APMPValueList slice(all.begin() + static_cast<ptrdiff_t>(start),
                      all.begin() + static_cast<ptrdiff_t>(start + length));
  return arrayValueWithArray(std::move(slice), scope);
}

APMPRuntimeValue APMPObjectManager::functionValueWithFunctionName(std::string name,
                                                                  std::vector<std::string> parameterNames,
                                                                  APMPValueList statements,
                                                                  APMPRef<APMPScope> definingScope) {
  APMPScope* scope = definingScope.get();
  auto* function = new APMPFunctionValue(std::move(name), std::move(parameterNames), std::move(statements),
                                         std::move(definingScope));
  return track(APMPValueKind::Function, function, *scope);
}
