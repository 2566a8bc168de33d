// Record sorting: two generic sorts of fixed-width records in one contiguous buffer, which
// know nothing of values. They move records of a given byte width and ask a comparison
// routine about two record addresses.
//
//   sort::quick   unstable; checks first whether the records are already in order (or in
//                 strictly reverse order), then runs a three-way-partition quicksort whose
//                 runs of equal records are gathered in one step; ranges of at most 7
//                 records finish by insertion, and a recursion that goes too deep finishes
//                 its range with a heap sort, so the sort stays within n log n comparisons.
//   sort::merge   stable natural merge sort by the Powersort rule: runs are found (strictly
//                 descending ones reversed), short runs extended to 24 records by insertion,
//                 and merged with a buffer of at most half the records.
//
// Contract of the comparison routine: negative when a sorts before b, 0 when equal, positive
// when after. Both sorts stay inside the buffer and end whatever the routine answers (an
// inconsistent routine gives some order, never a crash or a lost record). The routine may
// throw (a Zel error, or a break or throw converted to an exception); the exception passes
// through, and the buffer may then hold a partial merge in which records are lost or doubled:
// a caller whose routine can fail sorts a copy of its records and writes them back only when
// the sort returned.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel::sort {

using CompareFn = int32_t (*)(const void* a, const void* b, void* context);

// `sort/quick`: unstable sort of n records of width bytes at base.
void quick(void* base, size_t n, size_t width, CompareFn compare, void* context);
// `sort/merge`: stable sort. Raises script/too-long when the temporary buffer's size
// overflows and internal/no-memory when it cannot be allocated.
void merge(void* base, size_t n, size_t width, CompareFn compare, void* context);
// `sort/swap-records`: exchanges two records of width bytes.
void swap_records(void* a, void* b, size_t width);

}  // namespace zel::sort
