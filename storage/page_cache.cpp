#include "storage/page_cache.h"

#include "storage/page.h"

namespace tessera {

PageCache::PageCache() = default;
PageCache::~PageCache() { Clear(); }

PageCache::Entry* PageCache::Find(int32_t unit) const {
  for (Entry* e = chains_[ChainOf(unit)]; e != nullptr; e = e->chain_next) {
    if (e->page->unit == unit) return e;
  }
  return nullptr;
}

PageCache::Entry* PageCache::EntryOf(const TsrPage* page) const {
  Entry* e = Find(page->unit);
  return e != nullptr && e->page.get() == page ? e : nullptr;
}

void PageCache::Link(Entry* e) {
  int c = ChainOf(e->page->unit);
  e->chain_prev = nullptr;
  e->chain_next = chains_[c];
  if (e->chain_next != nullptr) e->chain_next->chain_prev = e;
  chains_[c] = e;
}

void PageCache::Unchain(Entry* e) {
  if (e->chain_prev != nullptr) {
    e->chain_prev->chain_next = e->chain_next;
  } else {
    chains_[ChainOf(e->page->unit)] = e->chain_next;
  }
  if (e->chain_next != nullptr) e->chain_next->chain_prev = e->chain_prev;
  e->chain_next = e->chain_prev = nullptr;
}

void PageCache::Unlink(Entry* e) {
  Unchain(e);
  (e->page->dirty ? dirty_ : clean_).erase(e->pos);
}

PageCache::Entry* PageCache::Add(std::unique_ptr<TsrPage> page) {
  auto* e = new Entry;
  e->page = std::move(page);
  e->page->load_stamp = clock_;
  Link(e);
  if (e->page->dirty) {
    e->pos = dirty_.insert(dirty_.end(), e);
    ++clock_;
    e->page->last_use = clock_;
    ++e->page->use_count;
  } else {
    e->pos = clean_.insert(clean_.end(), e);
    Use(e);
  }
  return e;
}

void PageCache::Use(Entry* e) {
  ++clock_;
  e->page->last_use = clock_;
  ++e->page->use_count;
  if (!e->page->dirty) clean_.splice(clean_.end(), clean_, e->pos);
}

void PageCache::MarkDirty(Entry* e) {
  if (e->page->dirty) return;
  clean_.erase(e->pos);
  e->page->dirty = true;
  e->pos = dirty_.insert(dirty_.end(), e);
}

void PageCache::Rehome(Entry* e, int32_t unit) {
  Unchain(e);
  e->page->unit = unit;
  Link(e);
}

std::unique_ptr<TsrPage> PageCache::Take(Entry* e) {
  Unlink(e);
  std::unique_ptr<TsrPage> page = std::move(e->page);
  delete e;
  page->DetachCursors();
  return page;
}

void PageCache::Drop(Entry* e) { Take(e).reset(); }

void PageCache::Evict() {
  auto it = clean_.begin();
  while (clean_.size() >= kKeepClean && it != clean_.end()) {
    Entry* p = *it;
    if (p->page->pins > 0) {
      ++it;
      continue;
    }
    uint32_t count = static_cast<uint32_t>(clean_.size());
    if (count < kMaxClean &&
        clock_ - p->page->last_use <
            kIdleFactor * ((clock_ - p->page->load_stamp) / count)) {
      return;
    }
    ++it;
    Drop(p);
  }
}

void PageCache::Clear() {
  while (!clean_.empty()) Drop(clean_.front());
  while (!dirty_.empty()) Drop(dirty_.front());
}

}  // namespace tessera
