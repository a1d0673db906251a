// MemoryPageStore: a record tree's pages held only in memory.
//
// Dynamic indexes keep their entries in a tree that has no OS file: nothing
// is ever written, nothing is committed, and everything is gone when the
// store is destroyed (the table is closed or the index is built anew).
//
// Units: the root page is unit 1; every new page takes the next unit. Units
// are never reused while the store lives.
//
// Invariants:
//  1. Every page the tree has been handed stays in memory until FreePage:
//     there is no eviction, so page pointers never dangle while the page
//     lives (pins are irrelevant here).
//  2. The root page exists from the first GetRootPage and holds the empty
//     smallest record that anchors the tree's leftmost path.
//  3. The store is always "in write intent" and its header always valid.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "storage/page_store.h"
#include "storage/record.h"

namespace tessera {

class MemoryPageStore final : public PageStore {
 public:
  MemoryPageStore();
  ~MemoryPageStore() override;
  MemoryPageStore(const MemoryPageStore&) = delete;
  MemoryPageStore& operator=(const MemoryPageStore&) = delete;

  TsrPage* GetRootPage() override;
  // Internal failure 3150 for a unit that holds no page.
  TsrPage* GetPage(int32_t unit) override;
  TsrPage* NewPage(int level) override;
  void MarkDirty(TsrPage* page) override;
  void FreePage(TsrPage* page) override;
  bool InWriteIntent() const override { return true; }
  bool ValidateHeader() override { return true; }
  TsrRecord* Sentinel() override { return sentinel_.get(); }

  size_t page_count() const { return pages_.size(); }

 private:
  static constexpr int32_t kRootUnit = 1;

  // Pages before the sentinel: destroying a page touches the sentinel.
  std::unique_ptr<TsrRecord> sentinel_;
  std::unordered_map<int32_t, std::unique_ptr<TsrPage>> pages_;
  int32_t next_unit_ = kRootUnit + 1;
};

}  // namespace tessera
