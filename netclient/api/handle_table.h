// The process-wide table of handles handed out through the C API.
//
// A handle is a non-zero 32-bit id. The table maps it to a shared object, so
// an export that looked a handle up keeps the object alive until it returns,
// even when another thread stops the client meanwhile. Stopping removes the
// id first: from then on every lookup fails, and the object is freed when the
// last export holding it returns.
//
// Client sessions and NVR event receivers live in the same table; lookups ask
// for the type they expect and get null for an id of another kind.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace quornet {

// Base of everything a handle can stand for.
class CHandleObject {
 public:
  virtual ~CHandleObject() = default;
};

class CHandleTable {
 public:
  static CHandleTable& Instance();

  // Reserves a fresh id without publishing an object: lookups of it fail
  // until Publish. Lets a start function give a session its id before the
  // session's threads run, and still keep the id invisible until the start
  // has succeeded. Returns 0 only when every id is in use.
  uint32_t Reserve();
  // Makes a reserved id refer to `object`. False when the id is not reserved.
  bool Publish(uint32_t id, std::shared_ptr<CHandleObject> object);
  // Reserve + Publish.
  uint32_t Add(std::shared_ptr<CHandleObject> object);
  // Removes an id (reserved or published) and returns its object, or null.
  std::shared_ptr<CHandleObject> Remove(uint32_t id);
  // The object of a published id; null for 0, unknown, reserved or removed
  // ids.
  std::shared_ptr<CHandleObject> Find(uint32_t id) const;

  template <class T>
  std::shared_ptr<T> FindAs(uint32_t id) const {
    return std::dynamic_pointer_cast<T>(Find(id));
  }
  template <class T>
  std::shared_ptr<T> RemoveAs(uint32_t id) {
    // Only removes an id that refers to a T: a stop of one kind must not
    // remove a handle of another kind.
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(id);
    if (it == objects_.end()) return nullptr;
    auto typed = std::dynamic_pointer_cast<T>(it->second);
    if (!typed) return nullptr;
    objects_.erase(it);
    return typed;
  }

  size_t Size() const;

 private:
  CHandleTable() = default;

  mutable std::mutex mutex_;
  // Reserved ids map to null. Guarded by mutex_.
  std::unordered_map<uint32_t, std::shared_ptr<CHandleObject>> objects_;
  // The last id issued; ids count up and wrap, skipping 0 and ids in use, so a
  // stale id is reused only after about four billion starts. Guarded by
  // mutex_.
  uint32_t last_id_ = 0;
};

}  // namespace quornet
