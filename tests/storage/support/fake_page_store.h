// FakePageStore: an in-memory PageStore for tests of the record tree.
//
// Pages live in a map by unit. Commit() plays the container's part at a
// commit: it encodes every dirty page, gives pages with temporary units real
// (positive) ones, rewrites child units in their parents, refreshes the
// blocks and keeps them; then every page leaves memory, so the next
// GetPage decodes its block again. With evict_on_get set, every GetPage
// first drops every clean unpinned page, the harshest cache there can be:
// code that keeps an unpinned clean page across a fetch then touches freed
// memory, which AddressSanitizer reports.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/internal_failure.h"
#include "storage/page.h"
#include "storage/page_store.h"
#include "storage/record.h"

namespace tessera::testing {

class FakePageStore : public PageStore {
 public:
  FakePageStore() = default;
  ~FakePageStore() override;

  TsrPage* GetRootPage() override;
  TsrPage* GetPage(int32_t unit) override;
  TsrPage* NewPage(int level) override;
  void MarkDirty(TsrPage* page) override;
  void FreePage(TsrPage* page) override;
  bool InWriteIntent() const override { return write_intent; }
  bool ValidateHeader() override { return header_valid; }
  TsrRecord* Sentinel() override { return &sentinel_; }

  // Writes every dirty page as a block and empties the cache (see above).
  void Commit();
  // Drops every clean, unpinned page from memory.
  void EvictClean();

  int32_t root_unit() const { return root_unit_; }
  size_t pages_in_memory() const { return pages_.size(); }
  size_t blocks() const { return blocks_.size(); }
  size_t freed_pages() const { return freed_; }
  bool HasBlock(int32_t unit) const { return blocks_.count(unit) != 0; }

  bool write_intent = true;
  bool header_valid = true;
  bool evict_on_get = false;

 private:
  void Drop(int32_t unit);

  TsrRecord sentinel_{{}, {}};  // outlives every page
  std::map<int32_t, std::unique_ptr<TsrPage>> pages_;
  std::map<int32_t, std::vector<uint8_t>> blocks_;
  bool has_root_ = false;
  int32_t root_unit_ = -1;
  int32_t next_temporary_ = 0;
  int32_t next_unit_ = 0;
  size_t freed_ = 0;
};

// Walks the whole tree and checks its invariants: every page's balanced
// tree, estimates, split thresholds, levels, and that each index entry's key
// equals its child's first key. Returns "" or a description of the fault.
std::string VerifyTree(PageStore* store);

}  // namespace tessera::testing

namespace tessera::testing {

// The number of the internal failure `f` raises, or 0 when it returns.
template <class F>
int FailureOf(F&& f) {
  try {
    f();
  } catch (const InternalFailure& failure) {
    return failure.number();
  }
  return 0;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline std::unique_ptr<TsrRecord> MakeRecord(const std::vector<uint8_t>& key,
                                             const std::vector<uint8_t>& data = {}) {
  return std::make_unique<TsrRecord>(key, data);
}

}  // namespace tessera::testing
