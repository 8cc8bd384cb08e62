#include "update/update_worker.h"

#include <string.h>

#include "ce/files.h"
#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "platform/platform_codes.h"
#include "platform/reboot.h"
#include "shell/program_state.h"
#include "update/flash_regions.h"
#include "update/page_cache.h"
#include "update/update_dialog.h"

HWND UpdateDialogWindow = NULL;
DWORD ImageOffset = 0;
DWORD ImageStart = 0;
DWORD ImageLength = 0;
BYTE BootAreaImage[kBootAreaBytes];
int BootAreaUsed = 0;
DWORD EraseStart = 0;

namespace {

const BYTE kBinSignature[7] = {'B', '0', '0', '0', 'F', 'F', '\n'};
enum { kBinHeaderBytes = 15 };  // the signature, the image start and the image length
const DWORD kDefaultImageBase = 0x80000;
const DWORD kEraseProgressInterval = 0x10000;
const int kTextChars = 1024;

BYTE ChunkBuffer[kChunkBytes];

// Where the records of the image file may go, checked once over the whole file before the
// erase and again for each record as it is written (the file may change between the reads).
// A record must lie in the blocks the update erases and in the flash, and must not share a
// byte with a record before it. On NAND the page cache programs each page once, and a block's
// pages only in ascending order: the pages it will program are followed as it takes them.
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

const WCHAR kOutsideText[] = TEXT("Record outside the image range!");
const WCHAR kOverlapText[] = TEXT("Records overlap or out of order!");
const WCHAR kShortText[] = TEXT("Unexpected end of file!");
const WCHAR kBadCrcText[] =
    TEXT("BAD CRC, Image File seems to be corrupt. Don't reboot Now! Try updating with ")
        TEXT("another file");
BYTE SavedConfig[kConfigItemSavedSize];
int SavedConfigAnswered = 0;

void ShowError(HWND dialog, const WCHAR* text, const WCHAR* caption = TEXT("ERROR")) {
  MessageBoxW(dialog, text, caption, MB_OK);
}

// Reads exactly `count` bytes; false when fewer arrive.
bool ReadExactly(HANDLE file, void* buffer, DWORD count) {
  DWORD got = 0;
  return ReadFile(file, buffer, count, &got, NULL) && got == count;
}

void SetBarRange(HWND dialog, int item, DWORD bytes) {
  DWORD kilobytes = bytes / 1024;
  HWND bar = GetDlgItem(dialog, item);
  SendMessageW(bar, PBM_SETRANGE32, 0, kilobytes > 1 ? kilobytes : 1);
  SendMessageW(bar, PBM_SETPOS, 0, 0);
}

void SetBarPosition(HWND dialog, int item, DWORD bytes) {
  SendMessageW(GetDlgItem(dialog, item), PBM_SETPOS, bytes / 1024, 0);
}

// One chunk of a record at its flash offset. On NAND the boot area collects in RAM; only what
// lies below its end has a place there, the rest goes through the cache at its own offset.
int WriteChunk(const BYTE* data, DWORD offset, DWORD count) {
  if (FlashOps.DriverKind == kDriverNand && offset < kBootAreaBytes) {
    DWORD below = kBootAreaBytes - offset < count ? kBootAreaBytes - offset : count;
    memcpy(BootAreaImage + offset, data, below);
    BootAreaUsed = 1;
    if (below == count) return 1;
    return CachedWrite(data + below, offset + below, count - below);
  }
  return CachedWrite(data, offset, count);
}

void FreePlaces() {
  if (Places.Spans != Places.Fixed) LocalFree(Places.Spans);
  Places.Spans = Places.Fixed;
  Places.SpanCapacity = kFixedSpans;
  if (Places.Programmed) LocalFree(Places.Programmed);
  if (Places.BlockTop) LocalFree(Places.BlockTop);
  Places.Programmed = NULL;
  Places.BlockTop = NULL;
}

// Starts a pass over the records. 0 when the NAND page record cannot be had.
int ResetPlaces() {
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

// Checks that a record of `length` bytes at flash offset `offset` may be written. With `spans`
// set, a record must not share a byte with any record before it. Null when the record may be
// written, else the text that says why not.
const WCHAR* CheckRecordPlace(DWORD offset, DWORD length, int spans) {
  if (length == 0) return NULL;  // nothing lands anywhere
  ULONGLONG start = offset;
  ULONGLONG end = start + length;
  if (start < Places.EraseFrom || end > Places.EraseTo) return kOutsideText;
  if (FlashOps.DriverKind != kDriverNone && end > FlashOps.FlashSize) return kOutsideText;
  if (Places.Programmed && end > kBootAreaBytes) {
    DWORD cached = offset < kBootAreaBytes ? kBootAreaBytes : offset;
    if (!PlaceCached(cached, end)) return kOverlapText;
  }
  if (!spans) return NULL;

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
  if (at < Places.SpanCount && Places.Spans[at].Start < end) return kOverlapText;
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
    return NULL;
  }
  if (at < Places.SpanCount && Places.Spans[at].Start == stop) {
    Places.Spans[at].Start = offset;
    return NULL;
  }
  if (Places.SpanCount == Places.SpanCapacity) {
    // Full: a table twice the size. Without the memory, the file cannot be checked.
    RecordSpan* larger = static_cast<RecordSpan*>(
        LocalAlloc(LMEM_FIXED, 2 * Places.SpanCapacity * sizeof(RecordSpan)));
    if (!larger) return kOverlapText;
    memcpy(larger, Places.Spans, Places.SpanCount * sizeof(RecordSpan));
    if (Places.Spans != Places.Fixed) LocalFree(Places.Spans);
    Places.Spans = larger;
    Places.SpanCapacity *= 2;
  }
  memmove(&Places.Spans[at + 1], &Places.Spans[at], (Places.SpanCount - at) * sizeof(RecordSpan));
  Places.Spans[at].Start = offset;
  Places.Spans[at].End = stop;
  ++Places.SpanCount;
  return NULL;
}

// Reads the whole image file from just after its header to the end record: every record cut
// short, with a wrong checksum, or in a place it cannot be written is found before anything
// is erased. Leaves the file at its first record. 1 when the file may be written.
int CheckImageFile(HWND dialog, HANDLE file) {
  if (!ResetPlaces()) {
    ShowError(dialog, kOverlapText);
    return 0;
  }
  for (;;) {
    DWORD record[3];  // address, length, checksum
    if (!ReadExactly(file, record, sizeof record)) {
      ShowError(dialog, kShortText);
      return 0;
    }
    if (record[0] == 0 && record[2] == 0) break;
    const WCHAR* problem = CheckRecordPlace(record[0] + ImageOffset, record[1], 1);
    if (problem) {
      ShowError(dialog, problem);
      return 0;
    }
    DWORD sum = 0;
    for (DWORD remaining = record[1]; remaining;) {
      DWORD count = remaining < kChunkBytes ? remaining : kChunkBytes;
      if (!ReadExactly(file, ChunkBuffer, count)) {
        ShowError(dialog, kShortText);
        return 0;
      }
      sum += ByteSum(ChunkBuffer, count);
      remaining -= count;
    }
    if (sum != record[2]) {
      ShowError(dialog, kBadCrcText);
      return 0;
    }
  }
  if (!ResetPlaces()) {
    ShowError(dialog, kOverlapText);
    return 0;
  }
  if (SetFilePointer(file, kBinHeaderBytes, NULL, FILE_BEGIN) != kBinHeaderBytes) {
    ShowError(dialog, kShortText);
    return 0;
  }
  return 1;
}

// NAND: the boot area is erased whole and written back from RAM, so what it holds outside the
// image must be in the RAM copy first. Reads it page by page (an erased page reads 0xFF); a
// page that cannot be read only matters when it holds bytes outside the image. An image at 0
// is a bootloader: it leaves a clean boot area, erased wherever it has no record, and reads
// nothing that could stop it. 1 on success.
int KeepBootArea(HWND dialog) {
  DWORD page = FlashOps.PageSize ? FlashOps.PageSize() : 0;
  if (page == 0 || page > kBootAreaWritten) page = kBootAreaWritten;
  ULONGLONG image_end = static_cast<ULONGLONG>(ImageStart) + ImageLength;
  memset(BootAreaImage, 0xFF, sizeof BootAreaImage);
  BootAreaUsed = 1;
  if (ImageStart == 0) return 1;
  for (DWORD at = 0; at < kBootAreaWritten; at += page) {
    DWORD piece = kBootAreaWritten - at < page ? kBootAreaWritten - at : page;
    int inside = at >= ImageStart && at + piece <= image_end;
    if (inside) continue;
    if (!FlashOps.ReadBuffer(BootAreaImage + at, at, piece)) {
      ShowError(dialog, TEXT("Error reading Flash!"));
      return 0;
    }
  }
  // The image's own bytes come from its records; where it has none they are erased.
  DWORD from = ImageStart;
  DWORD to = image_end < kBootAreaBytes ? static_cast<DWORD>(image_end) : kBootAreaBytes;
  if (from < to) memset(BootAreaImage + from, 0xFF, to - from);
  return 1;
}

// Writes the boot area collected in RAM up to `end`, block by block, and reads it back.
int WriteBootArea(HWND dialog, DWORD end) {
  DWORD unit = FlashOps.BlockSize(0);
  if (unit == 0) {
    ShowError(dialog, TEXT("Error writing to Flash!"));
    return 0;
  }
  // Every block is written even after one fails: each holds bytes that must go back.
  int written = 1;
  for (DWORD at = 0; at < end;) {
    DWORD piece = end - at < unit ? end - at : unit;
    if (!FlashOps.WriteBuffer(BootAreaImage + at, at, piece)) written = 0;
    at += piece;
  }
  if (!written) {
    ShowError(dialog, TEXT("Error writing to Flash!"));
    return 0;
  }
  BYTE* check = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, unit));
  if (!check) {
    ShowError(dialog, TEXT("Error reading Flash!"));
    return 0;
  }
  int ok = 1;
  for (DWORD at = 0; at < end && ok;) {
    DWORD piece = end - at < unit ? end - at : unit;
    if (!FlashOps.ReadBuffer(check, at, piece)) {
      ShowError(dialog, TEXT("Error reading Flash!"));
      ok = 0;
    } else if (memcmp(check, BootAreaImage + at, piece) != 0) {
      ShowError(dialog, TEXT("Error veryfing Flash!"));
      ok = 0;
    }
    at += piece;
  }
  LocalFree(check);
  return ok;
}

// The record loop: each record's chunks to the flash (or, on NAND below 0x40000, to the RAM
// copy of the boot area), its checksum compared at its end. 1 when every record landed.
int WriteRecords(HWND dialog, HANDLE file, WCHAR* text) {
  SetBarRange(dialog, kItemImageBar, ImageLength);

  DWORD image_done = 0;
  while (!AbortFlag) {
    DWORD record[3];  // address, length, checksum
    if (!ReadExactly(file, record, sizeof record)) {
      ShowError(dialog, kShortText);
      return 0;
    }
    if (record[0] == 0 && record[2] == 0) break;
    DWORD offset = record[0] + ImageOffset;
    DWORD remaining = record[1];
    // Checked over the whole file already; a file changed since must not write elsewhere.
    if (const WCHAR* problem = CheckRecordPlace(offset, remaining, 0)) {
      ShowError(dialog, problem);
      return 0;
    }
    wsprintfW(text, TEXT("Section: %.8x  Len: %.8x(%d)"), offset, record[1], record[1]);
    SetDlgItemTextW(dialog, kItemRecordText, text);
    SetBarRange(dialog, kItemRecordBar, record[1]);
    DWORD sum = 0;
    DWORD record_done = 0;
    while (remaining && !AbortFlag) {
      DWORD count = remaining < kChunkBytes ? remaining : kChunkBytes;
      if (!ReadExactly(file, ChunkBuffer, count)) {
        ShowError(dialog, kShortText);
        return 0;
      }
      sum += ByteSum(ChunkBuffer, count);
      if (!WriteChunk(ChunkBuffer, offset, count)) {
        ShowError(dialog, TEXT("Error writing to Flash!"));
        return 0;
      }
      record_done += count;
      image_done += count;
      SetBarPosition(dialog, kItemRecordBar, record_done);
      SetBarPosition(dialog, kItemImageBar, image_done);
      offset += count;
      remaining -= count;
    }
    if (sum != record[2]) {
      ShowError(dialog, kBadCrcText);
      return 0;
    }
  }

  return 1;
}

// The records of an opened image file, from the signature to the boot area. 1 on success.
int WriteImage(HWND dialog, HANDLE file) {
  WCHAR text[kTextChars];
  BYTE signature[sizeof kBinSignature];
  if (!ReadExactly(file, signature, sizeof signature) ||
      memcmp(signature, kBinSignature, sizeof signature) != 0) {
    ShowError(dialog, TEXT("Not a WinCE Binary Image file!"), TEXT("ERRER"));
    return 0;
  }
  // A header cut short must not reach the erase with values that were never read.
  DWORD header[2];
  if (!ReadExactly(file, header, sizeof header)) {
    ShowError(dialog, kShortText);
    return 0;
  }
  DWORD base = kDefaultImageBase;
  DWORD start = header[0];
  if ((start >= 0x80000000 && start < 0x9CA00000) || (start >= 0xA0000000 && start < 0xBCA00000)) {
    DWORD layout[kConfigItemLayoutSize / 4];
    if (GetConfigItem(kConfigItemLayout, layout, sizeof layout)) base = layout[0];
  }
  ImageOffset = ImageOffsetFor(start, base);
  ImageStart = start + ImageOffset;
  ImageLength = header[1];

  const int boot_area =
      ImageLength != 0 && FlashOps.DriverKind == kDriverNand && ImageStart < kBootAreaBytes;
  DWORD erase_start = ImageStart;
  DWORD erase_length = ImageLength;
  if (boot_area) {
    // The boot area is written back whole at the end, 0xFF where the image has nothing, and
    // its two blocks are tied together: logical page 63 lives in physical block 1. Programming
    // over pages that were not erased spoils their ECC, so both blocks go.
    ULONGLONG end = static_cast<ULONGLONG>(ImageStart) + ImageLength;
    if (end < kBootAreaBytes) end = kBootAreaBytes;
    erase_start = 0;
    erase_length = end > 0xFFFFFFFFu ? 0xFFFFFFFF : static_cast<DWORD>(end);
  }
  // Records may land anywhere in the blocks the erase takes (an empty image erases none).
  Places.EraseFrom = erase_start;
  Places.EraseTo = static_cast<ULONGLONG>(erase_start) + erase_length;
  DWORD first_block = FlashOps.BlockSize ? FlashOps.BlockSize(erase_start) : 0;
  if (erase_length && first_block && Places.EraseTo <= (static_cast<ULONGLONG>(1) << 32)) {
    Places.EraseFrom = erase_start - erase_start % first_block;
    DWORD last = static_cast<DWORD>(Places.EraseTo - 1);
    DWORD last_block = FlashOps.BlockSize(last);
    if (last_block) Places.EraseTo = static_cast<ULONGLONG>(last - last % last_block) + last_block;
  }

  if (!CheckImageFile(dialog, file)) return 0;
  if (!QuietFlag && !CheckImageRegions(-1, ImageStart, ImageLength, dialog)) return 0;

  wsprintfW(text, TEXT("Image: %.8x  Len: %.8x(%d)"), ImageStart, ImageLength, ImageLength);
  SetDlgItemTextW(dialog, kItemImageText, text);
  if (ImageLength == 0 && ImageStart > FlashOps.FlashSize) {
    // An empty image holds no record: nothing is erased, not even the block it starts in.
    ShowError(dialog, TEXT("Error erasing Flash!"));
    return 0;
  }
  if (boot_area && !KeepBootArea(dialog)) return 0;
  // The erase progress names the blocks as the driver erases them, from the block start.
  DWORD block = FlashOps.BlockSize ? FlashOps.BlockSize(erase_start) : 0;
  EraseStart = block && (block & (block - 1)) == 0 ? erase_start & ~(block - 1) : erase_start;
  SetProgressCallback(EraseProgress, kEraseProgressInterval);
  int erased = erase_length == 0 || FlashOps.EraseRange(erase_start, erase_length);
  int ok = erased;
  if (!erased && !AbortFlag) {
    // A range that cannot be erased cannot take the records.
    ShowError(dialog, TEXT("Error erasing Flash!"));
  }
  // An erase that did not finish (stopped by the user, or failed) writes no record.
  if (ok) ok = WriteRecords(dialog, file, text);

  // Once the boot area's blocks were erased, the RAM copy goes back on every road out. An
  // erase that stopped part way goes back only into the pages it got through: those that
  // read erased now. Which pages those are depends on the block map (block 0's erase also
  // takes physical block 1, where logical page 63 lives, once logical block 1 has moved), so
  // the flash is asked, not the erase's progress.
  if (BootAreaUsed) {
    if (erased) {
      if (!WriteBootArea(dialog, kBootAreaWritten)) ok = 0;
    } else if (!WriteBackErasedPages(BootAreaImage, 0, kBootAreaWritten)) {
      ShowError(dialog, TEXT("Error writing to Flash!"));
      ok = 0;
    }
  }
  // An update stopped by the user is not complete.
  return ok && !AbortFlag ? 1 : 0;
}

}  // namespace

DWORD ByteSum(const BYTE* bytes, DWORD count) {
  DWORD sum = 0;
  for (DWORD i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}

DWORD ImageOffsetFor(DWORD start, DWORD image_base) {
  if (start >= 0xBCA00000 && start <= 0xBFFFFFFE) return 0 - start;
  if ((start >= 0x80000000 && start < 0x9CA00000) || (start >= 0xA0000000 && start < 0xBCA00000)) {
    return image_base - start;
  }
  return 0;
}

int UpdateWorker(HWND dialog) {
  int result = 0;
  BootAreaUsed = 0;
  UpdateDialogWindow = dialog;

  HANDLE mutex = CreateMutexW(NULL, FALSE, TEXT("OnModuleFlash"));
  WaitForSingleObject(mutex, INFINITE);
  SelectFlashDriver();
  SavedConfigAnswered = GetConfigItem(kConfigItemSaved, SavedConfig, sizeof SavedConfig) != 0;

  HANDLE file =
      CreateFileW(ImagePath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    WCHAR text[kTextChars];
    wsprintfW(text, TEXT("Cannot Open Image File %s"), ImagePath);
    ShowError(dialog, text);
  } else {
    result = WriteImage(dialog, file);
  }

  FreePlaces();
  // The cache still holds the last page of a NAND image: an update whose last page did not
  // land has not succeeded.
  if (!CachedWrite(NULL, 0, 0) && result) {
    ShowError(dialog, TEXT("Error writing to Flash!"));
    result = 0;
  }
  // A configuration block just moved from its old place carries its own settings.
  if (SavedConfigAnswered && RegionTable[kRegionConfigBlock].Start != kConfigBlockOldPlace) {
    SetConfigItem(kConfigItemSaved, SavedConfig, sizeof SavedConfig);
  }
  if (result && !QuietFlag &&
      MessageBoxW(dialog, TEXT("To finish the update reset the system.\n Reset now?"),
                  TEXT("RESET"), MB_YESNO) == IDYES) {
    Reboot(1);
  }

  ReleaseMutex(mutex);
  CloseHandle(mutex);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  // Clear the path before the dialog ends: the moment it ends, the next update command may
  // put its own path here.
  ImagePath[0] = 0;
  EndDialog(dialog, 0);
  return result;
}
