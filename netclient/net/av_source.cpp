#include "net/av_source.h"

#include <array>

namespace quornet {
namespace {

struct Registry {
  std::mutex mutex;
  std::array<SourceFactory, 4> factories;  // guarded by mutex
};

Registry& GetRegistry() {
  // Created on first use: sources register from static initialisers of other
  // files, whose order is not defined. Never destroyed, for the same reason.
  static Registry* registry = new Registry();
  return *registry;
}

bool ValidKind(int32_t kind) {
  return kind >= kSourceRtspUdp && kind <= kSourceFile;
}

}  // namespace

SourceFactory RegisterSourceFactory(int32_t kind, SourceFactory factory) {
  if (!ValidKind(kind)) return nullptr;
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  SourceFactory previous = std::move(registry.factories[size_t(kind)]);
  registry.factories[size_t(kind)] = std::move(factory);
  return previous;
}

std::unique_ptr<CAVSource> CreateSource(int32_t kind, CClientSession& session) {
  if (!ValidKind(kind)) return nullptr;
  SourceFactory factory;
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    factory = registry.factories[size_t(kind)];
  }
  // Called outside the lock: a factory may be slow or register others.
  return factory ? factory(session) : nullptr;
}

}  // namespace quornet
