#include "package/release_check.h"

#include "fileio/heap_block.h"

namespace {

// The records of a list in the order of their folded names, records of one
// name in their list order: the first of each name leads its run.
class SortedRecords {
 public:
  explicit SortedRecords(const HashList& list) : list_(list) {
    const uint32_t count = list.count();
    if (!order_.Allocate(size_t{count} * sizeof(uint32_t))) return;
    uint32_t* order = Order();
    for (uint32_t i = 0; i < count; ++i) order[i] = i;
    // Heap sort: no recursion, no memory beyond the index.
    for (uint32_t start = count / 2; start-- > 0;) SiftDown(start, count);
    for (uint32_t end = count; end > 1;) {
      --end;
      Swap(0, end);
      SiftDown(0, end);
    }
    ok_ = true;
  }

  bool ok() const { return ok_; }

  // The first record of the folded name, or -1.
  int First(const char* name) const {
    const uint32_t* order = Order();
    uint32_t low = 0, high = list_.count();
    while (low < high) {
      uint32_t middle = low + (high - low) / 2;
      if (CompareFoldedNames(list_.RecordName(order[middle]), name) < 0) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    if (low == list_.count() || CompareFoldedNames(list_.RecordName(order[low]), name) != 0) {
      return -1;
    }
    return static_cast<int>(order[low]);
  }

 private:
  uint32_t* Order() { return reinterpret_cast<uint32_t*>(order_.data()); }
  const uint32_t* Order() const { return reinterpret_cast<const uint32_t*>(order_.data()); }
  bool Less(uint32_t a, uint32_t b) const {
    int c = CompareFoldedNames(list_.RecordName(a), list_.RecordName(b));
    return c < 0 || (c == 0 && a < b);
  }
  void Swap(uint32_t i, uint32_t j) {
    uint32_t* order = Order();
    uint32_t t = order[i];
    order[i] = order[j];
    order[j] = t;
  }
  void SiftDown(uint32_t root, uint32_t end) {
    uint32_t* order = Order();
    for (;;) {
      uint32_t child = 2 * root + 1;
      if (child >= end) return;
      if (child + 1 < end && Less(order[child], order[child + 1])) ++child;
      if (!Less(order[root], order[child])) return;
      Swap(root, child);
      root = child;
    }
  }

  const HashList& list_;
  HeapBlock order_;
  bool ok_ = false;
};

bool Carried(const char* name, const char* const* carried) {
  for (; *carried != nullptr; ++carried) {
    if (FoldedNamesEqual(*carried, name)) return true;
  }
  return false;
}

// Whether record i of list is the first of its name: through the order
// where there is one, else by a walk.
bool FirstOfName(const HashList& list, const SortedRecords& order, uint32_t i) {
  const char* name = list.RecordName(i);
  int first = order.ok() ? order.First(name) : FindHashRecord(list, name);
  return first == static_cast<int>(i);
}

}  // namespace

int FindUnfitRecord(const HashList& patchList, const char* const* carried,
                    bool (*fits)(void* context, uint32_t record), void* context) {
  // Lists of thousands of records: each name is found by a search in an
  // order, not by a walk through the list (the walk where memory for the
  // order is lacking).
  SortedRecords patchOrder(patchList);
  for (uint32_t i = 0; i < patchList.count(); ++i) {
    // Only the first record of a name counts, as when entries are verified.
    if (Carried(patchList.RecordName(i), carried) || !FirstOfName(patchList, patchOrder, i)) {
      continue;
    }
    if (!fits(context, i)) return static_cast<int>(i);
  }
  return -1;
}

int FindForeignRecord(const HashList& patchList, const char* const* carried,
                      const HashList& installed) {
  struct Against {
    const HashList& patch;
    const HashList& installed;
    SortedRecords order;
  } against{patchList, installed, SortedRecords(installed)};
  return FindUnfitRecord(patchList, carried, [](void* context, uint32_t i) {
    Against& a = *static_cast<Against*>(context);
    const char* name = a.patch.RecordName(i);
    int record = a.order.ok() ? a.order.First(name) : FindHashRecord(a.installed, name);
    return record >= 0 &&
           a.installed.RecordSum(static_cast<uint32_t>(record)) == a.patch.RecordSum(i);
  }, &against);
}
