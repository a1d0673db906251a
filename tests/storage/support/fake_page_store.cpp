#include "storage/support/fake_page_store.h"

#include <stdexcept>

namespace tessera::testing {

FakePageStore::~FakePageStore() { pages_.clear(); }

TsrPage* FakePageStore::GetRootPage() {
  if (!has_root_) {
    has_root_ = true;
    TsrPage* root = NewPage(0);
    root_unit_ = root->unit;
    root->Insert(std::make_unique<TsrRecord>(std::span<const uint8_t>(),
                                             std::span<const uint8_t>()));
    return root;
  }
  return GetPage(root_unit_);
}

TsrPage* FakePageStore::GetPage(int32_t unit) {
  if (evict_on_get) {
    for (auto it = pages_.begin(); it != pages_.end();) {
      TsrPage* p = it->second.get();
      if (!p->dirty && p->pins == 0 && p->unit != unit) {
        it = pages_.erase(it);
      } else {
        ++it;
      }
    }
  }
  auto it = pages_.find(unit);
  if (it != pages_.end()) return it->second.get();
  auto block = blocks_.find(unit);
  if (block == blocks_.end()) throw std::logic_error("no page at that unit");
  std::unique_ptr<TsrPage> page = TsrPage::Decode(unit, block->second, &sentinel_);
  TsrPage* raw = page.get();
  pages_[unit] = std::move(page);
  return raw;
}

TsrPage* FakePageStore::NewPage(int level) {
  const int32_t unit = --next_temporary_;
  auto page = std::make_unique<TsrPage>(unit, level, &sentinel_);
  page->dirty = true;
  TsrPage* raw = page.get();
  pages_[unit] = std::move(page);
  return raw;
}

void FakePageStore::MarkDirty(TsrPage* page) {
  if (page->dirty) throw std::logic_error("page marked dirty twice");
  page->dirty = true;
}

void FakePageStore::FreePage(TsrPage* page) {
  if (page->pins != 0) throw std::logic_error("pinned page freed");
  if (page->unit == root_unit_) throw std::logic_error("root page freed");
  const int32_t unit = page->unit;
  blocks_.erase(unit);
  pages_.erase(unit);
  ++freed_;
}

void FakePageStore::EvictClean() {
  for (auto it = pages_.begin(); it != pages_.end();) {
    if (!it->second->dirty && it->second->pins == 0) {
      it = pages_.erase(it);
    } else {
      ++it;
    }
  }
}

void FakePageStore::Commit() {
  // 1. Encode dirty pages as they stand (units may still be temporary).
  std::map<TsrPage*, std::vector<uint8_t>> encoded;
  for (auto& [unit, page] : pages_) {
    if (page->dirty) encoded[page.get()] = page->Encode();
  }
  // 2. Real units for temporary ones.
  std::map<int32_t, int32_t> moved;
  std::map<int32_t, std::unique_ptr<TsrPage>> rekeyed;
  for (auto& [unit, page] : pages_) {
    if (unit < 0) {
      page->unit = ++next_unit_;
      moved[unit] = page->unit;
    }
    rekeyed[page->unit] = std::move(page);
  }
  pages_ = std::move(rekeyed);
  if (moved.count(root_unit_)) root_unit_ = moved[root_unit_];
  // 3. Parents name the moved children by their new units. Only dirty
  //    pages can name a temporary unit.
  for (auto& [unit, page] : pages_) {
    if (page->level == 0) continue;
    for (TsrRecord* r : page->Records()) {
      auto m = moved.find(r->child);
      if (m != moved.end()) {
        if (!page->dirty) throw std::logic_error("clean page names a temporary unit");
        r->child = m->second;
      }
    }
  }
  // 4. Refresh and keep the blocks; then the cache is empty.
  for (auto& [page, block] : encoded) {
    page->RefreshBlock(&block);
    if (block.size() % kUnitBytes != 0 || block.size() > kMaxBlockBytes ||
        BlockStoredLength(block) > block.size()) {
      throw std::logic_error("bad block shape");
    }
    blocks_[page->unit] = std::move(block);
  }
  pages_.clear();
}

namespace {

struct TreeChecker {
  PageStore* store;
  std::string fault;

  void Fail(const std::string& what) {
    if (fault.empty()) fault = what;
  }

  void Visit(int32_t unit, int expected_level, bool is_root) {
    TsrPage* page = is_root ? store->GetRootPage() : store->GetPage(unit);
    PagePin pin(page);
    const std::string at = "page " + std::to_string(page->unit) + ": ";
    if (!page->Verify()) Fail(at + "balanced tree broken");
    if (expected_level >= 0 && page->level != expected_level) Fail(at + "level");
    if (page->estimate != page->ComputeEstimate()) Fail(at + "estimate");
    if (page->NeedsSplit()) Fail(at + "needs a split");
    if (!is_root && page->count() == 0) Fail(at + "empty non-root page");
    if (page->level == 0) return;
    if (page->count() == 0) Fail(at + "empty index root");
    std::vector<TsrRecord*> entries = page->Records();
    if (is_root && !entries.empty() && entries[0]->key_size() != 0) {
      Fail(at + "leftmost entry not empty");
    }
    for (TsrRecord* e : entries) {
      const std::vector<uint8_t> key(e->key().begin(), e->key().end());
      if (e->size() != e->key_size()) Fail(at + "entry with data");
      TsrPage* child = store->GetPage(e->child);
      if (child->count() == 0 || CompareKeys(child->First()->key(), key) != 0) {
        Fail(at + "separator differs from its child's first key");
      }
      Visit(e->child, page->level - 1, false);
    }
  }
};

}  // namespace

std::string VerifyTree(PageStore* store) {
  TreeChecker checker{store, {}};
  checker.Visit(0, -1, true);
  return checker.fault;
}

}  // namespace tessera::testing
