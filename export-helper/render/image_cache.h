#pragma once
// A bounded cache of rendered images (the subtitle cards of a scene): each
// entry carries a cost in bytes, and the least recently used entries go once
// the total passes the limit, so long subtitle tracks cannot grow memory.
//
// Threads: one thread at a time (the render state's), like the other caches.

#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>

#include "vantrel/graphics/image.h"

namespace vantrel::exporter {

class CostLimitedImageCache {
 public:
  explicit CostLimitedImageCache(std::size_t totalCostLimit) : limit_(totalCostLimit) {}

  std::optional<graphics::Image> find(const std::string& key) {
    const auto it = index_.find(key);
    if (it == index_.end()) return std::nullopt;
    entries_.splice(entries_.begin(), entries_, it->second);  // most recently used first
    return it->second->image;
  }

  // An entry costing more than the whole limit is not kept.
  void insert(const std::string& key, graphics::Image image, std::size_t cost) {
    erase(key);
    if (cost > limit_) return;
    entries_.push_front(Entry{key, std::move(image), cost});
    index_[key] = entries_.begin();
    total_ += cost;
    while (total_ > limit_) erase(entries_.back().key);
  }

  std::size_t totalCost() const { return total_; }
  std::size_t totalCostLimit() const { return limit_; }
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string key;
    graphics::Image image;
    std::size_t cost = 0;
  };

  void erase(const std::string& key) {
    const auto it = index_.find(key);
    if (it == index_.end()) return;
    total_ -= it->second->cost;
    entries_.erase(it->second);
    index_.erase(it);
  }

  std::size_t limit_;
  std::size_t total_ = 0;
  std::list<Entry> entries_;
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace vantrel::exporter
