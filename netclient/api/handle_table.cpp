#include "api/handle_table.h"

namespace quornet {

CHandleTable& CHandleTable::Instance() {
  // Never destroyed: worker threads may still drop references while the
  // process exits.
  static CHandleTable* table = new CHandleTable();
  return *table;
}

uint32_t CHandleTable::Reserve() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (objects_.size() >= 0xFFFFFFFEu) return 0;
  for (;;) {
    ++last_id_;
    if (last_id_ == 0) continue;
    if (objects_.find(last_id_) != objects_.end()) continue;
    objects_.emplace(last_id_, nullptr);
    return last_id_;
  }
}

bool CHandleTable::Publish(uint32_t id, std::shared_ptr<CHandleObject> object) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = objects_.find(id);
  if (it == objects_.end() || it->second) return false;
  it->second = std::move(object);
  return true;
}

uint32_t CHandleTable::Add(std::shared_ptr<CHandleObject> object) {
  uint32_t id = Reserve();
  if (id != 0) Publish(id, std::move(object));
  return id;
}

std::shared_ptr<CHandleObject> CHandleTable::Remove(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = objects_.find(id);
  if (it == objects_.end()) return nullptr;
  auto object = std::move(it->second);
  objects_.erase(it);
  return object;
}

std::shared_ptr<CHandleObject> CHandleTable::Find(uint32_t id) const {
  if (id == 0) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = objects_.find(id);
  return it == objects_.end() ? nullptr : it->second;
}

size_t CHandleTable::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return objects_.size();
}

}  // namespace quornet
