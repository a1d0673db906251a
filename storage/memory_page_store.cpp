// In-memory page store; the layout and invariants are in memory_page_store.h.
#include "storage/memory_page_store.h"

#include <span>

#include "storage/internal_failure.h"
#include "storage/page.h"

namespace tessera {
namespace {

constexpr int kFailureNoSuchPage = 3150;

}  // namespace

MemoryPageStore::MemoryPageStore()
    : sentinel_(std::make_unique<TsrRecord>(std::span<const uint8_t>{},
                                            std::span<const uint8_t>{})) {}

MemoryPageStore::~MemoryPageStore() {
  // Pages (and the cursors and records in them) go before the sentinel.
  pages_.clear();
}

TsrPage* MemoryPageStore::GetRootPage() {
  auto it = pages_.find(kRootUnit);
  if (it != pages_.end()) return it->second.get();
  auto root = std::make_unique<TsrPage>(kRootUnit, 0, sentinel_.get());
  root->Insert(std::make_unique<TsrRecord>(std::span<const uint8_t>{},
                                           std::span<const uint8_t>{}));
  root->dirty = true;
  TsrPage* p = root.get();
  pages_.emplace(kRootUnit, std::move(root));
  return p;
}

TsrPage* MemoryPageStore::GetPage(int32_t unit) {
  auto it = pages_.find(unit);
  Check(it != pages_.end(), kFailureNoSuchPage);
  return it->second.get();
}

TsrPage* MemoryPageStore::NewPage(int level) {
  const int32_t unit = next_unit_++;
  auto page = std::make_unique<TsrPage>(unit, level, sentinel_.get());
  page->dirty = true;
  TsrPage* p = page.get();
  pages_.emplace(unit, std::move(page));
  return p;
}

void MemoryPageStore::MarkDirty(TsrPage* page) { page->dirty = true; }

void MemoryPageStore::FreePage(TsrPage* page) {
  auto it = pages_.find(page->unit);
  Check(it != pages_.end() && it->second.get() == page, kFailureNoSuchPage);
  pages_.erase(it);  // the page detaches its cursors as it goes
}

}  // namespace tessera
