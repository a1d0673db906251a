// PageCache: the pages of one file held in memory.
//
// Structure:
//   - 100 hash chains of entries by unit (unit taken as unsigned, mod 100);
//   - a clean list in least-recently-used order (head = least recent) and a
//     dirty list in the order pages became dirty, each with its count;
//   - a use clock, raised at every page use.
//
// Eviction (run before every page fetch): while the clean list holds at
// least 20 pages, look at the least recently used clean page P that is not
// pinned. Unless the list holds 100 pages or more, P stays (and eviction
// stops) when it was used recently compared with its age in the cache:
//
//     (clock - P.last_use) < 4 * ((clock - P.load_stamp) / clean count)
//
// otherwise P is dropped and the loop goes on. Pinned pages are passed over.
//
// Invariants:
//  1. Every entry is on exactly one chain (that of its page's unit) and on
//     exactly one list: the dirty list when page->dirty, else the clean list.
//  2. Dirty pages are never evicted; pinned pages are never evicted.
//  3. Dropping a page detaches every cursor standing on it first (each
//     keeps a key copy), then frees the page and its records.
//  4. Units are unique among the entries.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

namespace tessera {

class TsrPage;

class PageCache {
 public:
  static constexpr int kChains = 100;
  static constexpr size_t kKeepClean = 20;
  static constexpr size_t kMaxClean = 100;
  static constexpr uint32_t kIdleFactor = 4;

  struct Entry {
    std::unique_ptr<TsrPage> page;
    // The block to write at commit (encoded, or read raw for a page that
    // only moved); valid while `block_ready`.
    std::vector<uint8_t> block;
    bool block_ready = false;
    Entry* chain_next = nullptr;
    Entry* chain_prev = nullptr;  // unlinking needs no chain walk
    std::list<Entry*>::iterator pos;  // in the clean or dirty list
  };

  PageCache();
  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  Entry* Find(int32_t unit) const;
  // The entry of a page known to be cached (nullptr when it is not).
  Entry* EntryOf(const TsrPage* page) const;

  // Adds a page (its unit must not be cached yet). It takes the clock as its
  // load stamp and counts as used; a dirty page goes on the dirty list.
  Entry* Add(std::unique_ptr<TsrPage> page);
  // A use of a clean page: clock + 1, last use stamp, use count, and it
  // becomes the most recently used.
  void Use(Entry* e);
  // Moves a clean page to the tail of the dirty list (no-op when dirty).
  void MarkDirty(Entry* e);
  // The page now lives at `unit`.
  void Rehome(Entry* e, int32_t unit);
  // Removes the entry and frees its page (cursors detached first).
  void Drop(Entry* e);
  // Removes the entry and hands the page back (cursors detached).
  std::unique_ptr<TsrPage> Take(Entry* e);
  // The eviction rule above.
  void Evict();
  // Drops every page, clean and dirty.
  void Clear();

  size_t clean_count() const { return clean_.size(); }
  size_t dirty_count() const { return dirty_.size(); }
  uint32_t clock() const { return clock_; }
  // The dirty entries in dirty-list order.
  std::vector<Entry*> DirtyEntries() const { return {dirty_.begin(), dirty_.end()}; }
  const std::list<Entry*>& dirty_list() const { return dirty_; }

 private:
  static int ChainOf(int32_t unit) {
    return static_cast<int>(static_cast<uint32_t>(unit) % kChains);
  }
  void Link(Entry* e);
  void Unchain(Entry* e);
  void Unlink(Entry* e);  // off its chain and its list

  std::array<Entry*, kChains> chains_{};
  std::list<Entry*> clean_;
  std::list<Entry*> dirty_;
  uint32_t clock_ = 0;
};

}  // namespace tessera
