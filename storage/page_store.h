// PageStore: what the record tree asks of the file container.
//
// The record tree (storage/tree.h: descent, insert, split, delete, cursors)
// works on pages it obtains from a PageStore; the container (TsrFile)
// implements it with its page cache, zones and commit. Tests of the tree use
// a small in-memory PageStore.
//
// Page lifetime rules the tree relies on:
//  1. GetPage may evict clean, unpinned pages, so a clean page pointer held
//     across another GetPage call is only safe while the page is pinned
//     (PagePin). Dirty pages are never evicted.
//  2. NewPage returns a dirty page with a new temporary (negative) unit.
//  3. FreePage frees the page's block (a temporary unit has none), drops the
//     page from the cache and destroys it; its cursors are detached first.
//  4. Evicting a page detaches every cursor standing on it; the cursor keeps
//     a key copy and finds its place again when next used.
#pragma once

#include <cstdint>

namespace tessera {

class TsrPage;
class TsrRecord;

class PageStore {
 public:
  virtual ~PageStore() = default;

  // The root page (validates the header first: failure 1013). In a new file
  // the root gets a temporary unit and its empty smallest record on first use.
  virtual TsrPage* GetRootPage() = 0;
  // The page at a unit, loaded and decoded when not cached.
  virtual TsrPage* GetPage(int32_t unit) = 0;
  // A new dirty page at the given level with a new temporary unit.
  virtual TsrPage* NewPage(int level) = 0;
  // Marks a page (and so the file) dirty; once per page.
  virtual void MarkDirty(TsrPage* page) = 0;
  // Frees the page's block and removes the page from memory.
  virtual void FreePage(TsrPage* page) = 0;
  // True while the file is in write intent (inserts and deletes allowed).
  virtual bool InWriteIntent() const = 0;
  // Validates the header for the current operation; false when it cannot be
  // validated (the caller raises its own numbered failure).
  virtual bool ValidateHeader() = 0;
  // The file's sentinel record, which ends every in-memory page tree.
  virtual TsrRecord* Sentinel() = 0;
};

}  // namespace tessera
