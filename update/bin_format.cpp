#include "update/bin_format.h"

#include <string.h>

#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "update/update_worker.h"

namespace {

// The records of one pass. The updater makes two: once over the whole file before the erase,
// and again for each record as it is written (the file may change between the reads). On NAND
// the pages the page cache will program are followed as it takes them.
enum { kFixedSpans = 2048 };
struct RecordSpan {
  DWORD Start;
  DWORD End;
};
struct RecordPlaces {
  // The flash ranges of the records seen so far, merged where they touch, in ascending order.
  RecordSpan Fixed[kFixedSpans];
  RecordSpan* Spans;  // Fixed, or a larger copy once it is full
  DWORD SpanCapacity;
  DWORD SpanCount;
  // The blocks the update erases.
  DWORD EraseFrom;
  ULONGLONG EraseTo;
  // NAND, above the boot area: a bit for every page the cache has programmed, the number of
  // pages programmed from the bottom of each block (one past the highest), and the pages the
  // cache holds and has come to, as its own pending unit and write mark.
  BYTE* Programmed;
  BYTE* BlockTop;
  DWORD PageBytes;
  DWORD PagesPerBlock;
  DWORD Pending;
  DWORD Mark;
};
RecordPlaces Places = {{{0, 0}}, Places.Fixed, kFixedSpans, 0, 0, 0, NULL, NULL, 0, 0, 0, 0};

const DWORD kNoPage = 0xFFFFFFFF;

void FreePlaces() {
  if (Places.Spans != Places.Fixed) LocalFree(Places.Spans);
  Places.Spans = Places.Fixed;
  Places.SpanCapacity = kFixedSpans;
  if (Places.Programmed) LocalFree(Places.Programmed);
  if (Places.BlockTop) LocalFree(Places.BlockTop);
  Places.Programmed = NULL;
  Places.BlockTop = NULL;
}

}  // namespace

int ImageEraseRange(DWORD image_start, DWORD image_length, DWORD* erase_start,
                    DWORD* erase_length) {
  *erase_start = image_start;
  *erase_length = image_length;
  if (image_length == 0 || FlashOps.DriverKind != kDriverNand || image_start >= kBootAreaBytes) {
    return 0;
  }
  // The boot area is written back whole at the end, 0xFF where the image has nothing, and its
  // two blocks are tied together: logical page 63 lives in physical block 1. Programming over
  // pages that were not erased spoils their ECC, so both blocks go.
  ULONGLONG end = static_cast<ULONGLONG>(image_start) + image_length;
  if (end < kBootAreaBytes) end = kBootAreaBytes;
  *erase_start = 0;
  *erase_length = end > 0xFFFFFFFFu ? 0xFFFFFFFF : static_cast<DWORD>(end);
  return 1;
}

namespace {

// [erase_start, erase_start + erase_length) rounded out to the blocks it touches.
void RoundToBlocks(DWORD erase_start, DWORD erase_length, ULONGLONG* from, ULONGLONG* to) {
  *from = erase_start;
  *to = static_cast<ULONGLONG>(erase_start) + erase_length;
  DWORD first_block = FlashOps.BlockSize ? FlashOps.BlockSize(erase_start) : 0;
  if (erase_length && first_block && *to <= (static_cast<ULONGLONG>(1) << 32)) {
    *from = erase_start - erase_start % first_block;
    DWORD last = static_cast<DWORD>(*to - 1);
    DWORD last_block = FlashOps.BlockSize(last);
    if (last_block) *to = static_cast<ULONGLONG>(last - last % last_block) + last_block;
  }
}

}  // namespace

void ImageEraseBlocks(DWORD image_start, DWORD image_length, ULONGLONG* from, ULONGLONG* to) {
  DWORD erase_start = 0;
  DWORD erase_length = 0;
  ImageEraseRange(image_start, image_length, &erase_start, &erase_length);
  RoundToBlocks(erase_start, erase_length, from, to);
}

int BeginRecordPlaces(DWORD erase_start, DWORD erase_length) {
  // Records may land anywhere in the blocks the erase takes (an empty image erases none).
  ULONGLONG from = 0;
  RoundToBlocks(erase_start, erase_length, &from, &Places.EraseTo);
  Places.EraseFrom = static_cast<DWORD>(from);
  FreePlaces();
  Places.SpanCount = 0;
  Places.Pending = kNoPage;
  Places.Mark = kNoPage;
  if (FlashOps.DriverKind != kDriverNand || !FlashOps.PageSize) return 1;
  Places.PageBytes = FlashOps.PageSize();
  DWORD block = FlashOps.BlockSize(0);
  if (Places.PageBytes == 0 || block < Places.PageBytes) return 0;
  Places.PagesPerBlock = block / Places.PageBytes;
  DWORD pages = FlashOps.FlashSize / Places.PageBytes;
  DWORD blocks = FlashOps.FlashSize / block;
  Places.Programmed = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, pages / 8 + 1));
  Places.BlockTop = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, blocks + 1));
  if (!Places.Programmed || !Places.BlockTop) return 0;
  memset(Places.Programmed, 0, pages / 8 + 1);
  memset(Places.BlockTop, 0, blocks + 1);
  return 1;
}

void EndRecordPlaces() { FreePlaces(); }

namespace {

// Whether the cache may program `page` now: not programmed yet in this update, and not below
// a page it has programmed in the same block.
int PageFree(DWORD page) {
  if (Places.Programmed[page / 8] & (1 << (page % 8))) return 0;
  return page % Places.PagesPerBlock >= Places.BlockTop[page / Places.PagesPerBlock];
}

int ProgramPage(DWORD page) {
  if (!PageFree(page)) return 0;
  Places.Programmed[page / 8] = static_cast<BYTE>(Places.Programmed[page / 8] | 1 << (page % 8));
  Places.BlockTop[page / Places.PagesPerBlock] = static_cast<BYTE>(page % Places.PagesPerBlock + 1);
  return 1;
}

// Follows the page cache through a record's bytes [start, end) above the boot area: the page
// it holds is programmed when a record moves off it, pages skipped over are programmed with
// 0xFF, whole pages are programmed as they come and a page begun is held. 0 when a page would
// be programmed twice or out of order in its block.
int PlaceCached(DWORD start, ULONGLONG end) {
  const DWORD size = Places.PageBytes;
  const DWORD last = static_cast<DWORD>((end - 1) / size);
  for (DWORD page = start / size; page <= last; ++page) {
    if (Places.Pending != kNoPage && page != Places.Pending) {
      if (!ProgramPage(Places.Pending)) return 0;
      Places.Mark = Places.Pending + 1;
      Places.Pending = kNoPage;
    }
    while (Places.Mark != kNoPage && page > Places.Mark) {
      if (!ProgramPage(Places.Mark)) return 0;
      ++Places.Mark;
    }
    ULONGLONG first = static_cast<ULONGLONG>(page) * size;
    if (page == Places.Pending) {
      // more of the page it holds
    } else if (start <= first && end >= first + size) {
      if (!ProgramPage(page)) return 0;
    } else {
      if (!PageFree(page)) return 0;
      Places.Pending = page;
    }
    // The cache has come to the page the record's bytes reach in this page.
    Places.Mark = end >= first + size ? page + 1 : page;
  }
  return 1;
}

}  // namespace

RecordPlace CheckRecordPlace(DWORD offset, DWORD length, int spans) {
  if (length == 0) return kRecordPlaceOk;  // nothing lands anywhere
  ULONGLONG start = offset;
  ULONGLONG end = start + length;
  if (start < Places.EraseFrom || end > Places.EraseTo) return kRecordOutsideErase;
  if (FlashOps.DriverKind != kDriverNone && end > FlashOps.FlashSize) return kRecordOutsideErase;
  if (Places.Programmed && end > kBootAreaBytes) {
    DWORD cached = offset < kBootAreaBytes ? kBootAreaBytes : offset;
    if (!PlaceCached(cached, end)) return kRecordPageTaken;
  }
  if (!spans) return kRecordPlaceOk;

  // The first span that ends after the record starts; the record must end before it starts.
  DWORD low = 0;
  DWORD high = Places.SpanCount;
  while (low < high) {
    DWORD mid = (low + high) / 2;
    if (Places.Spans[mid].End <= offset) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  DWORD at = low;
  if (at < Places.SpanCount && Places.Spans[at].Start < end) return kRecordOverlaps;
  // Join the span before when it ends where the record starts, the one after when it starts
  // where the record ends; otherwise the record becomes a span of its own.
  DWORD stop = static_cast<DWORD>(end);
  if (at > 0 && Places.Spans[at - 1].End == offset) {
    Places.Spans[at - 1].End = stop;
    if (at < Places.SpanCount && Places.Spans[at].Start == stop) {
      Places.Spans[at - 1].End = Places.Spans[at].End;
      memmove(&Places.Spans[at], &Places.Spans[at + 1],
              (Places.SpanCount - at - 1) * sizeof(RecordSpan));
      --Places.SpanCount;
    }
    return kRecordPlaceOk;
  }
  if (at < Places.SpanCount && Places.Spans[at].Start == stop) {
    Places.Spans[at].Start = offset;
    return kRecordPlaceOk;
  }
  if (Places.SpanCount == Places.SpanCapacity) {
    // Full: a table twice the size. Without the memory, the file cannot be checked.
    RecordSpan* larger = static_cast<RecordSpan*>(
        LocalAlloc(LMEM_FIXED, 2 * Places.SpanCapacity * sizeof(RecordSpan)));
    if (!larger) return kRecordNoMemory;
    memcpy(larger, Places.Spans, Places.SpanCount * sizeof(RecordSpan));
    if (Places.Spans != Places.Fixed) LocalFree(Places.Spans);
    Places.Spans = larger;
    Places.SpanCapacity *= 2;
  }
  memmove(&Places.Spans[at + 1], &Places.Spans[at], (Places.SpanCount - at) * sizeof(RecordSpan));
  Places.Spans[at].Start = offset;
  Places.Spans[at].End = stop;
  ++Places.SpanCount;
  return kRecordPlaceOk;
}

ImageTranslation TranslationFor(DWORD start) {
  if (start >= 0xBCA00000 && start <= 0xBFFFFFFE) return kTranslateToFlashZero;
  if ((start >= 0x80000000 && start < 0x9CA00000) || (start >= 0xA0000000 && start < 0xBCA00000)) {
    return kTranslateToImageBase;
  }
  return kTranslateNone;
}

DWORD ImageOffsetFor(DWORD start, DWORD image_base) {
  switch (TranslationFor(start)) {
    case kTranslateToFlashZero:
      return 0 - start;
    case kTranslateToImageBase:
      return image_base - start;
    default:
      return 0;
  }
}
