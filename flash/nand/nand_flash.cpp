// The NAND bad-block layer: the logical byte space of the flash operations table over the
// controller's physical pages. Logical blocks reach their physical blocks through the shared
// BadBlockMap, built at the first start of a system from the table page; a block that fails
// to erase or program is replaced from the reserve at the top of the chip (nand_relocation).

#include "flash/nand/nand_flash.h"

#include <string.h>

#include "ce/file_mapping.h"
#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "flash/nand/nand_layer.h"
#include "platform/kernel_call.h"

BadBlockMapView* BadBlockMap = NULL;

// The shared map is 16388 bytes.
C_ASSERT(sizeof(BadBlockMapView) == kBadBlockMapBytes);

namespace NandLayer {

const WCHAR kBadBlockMapName[] = TEXT("NAND_FLASH_BBMT");
const DWORD kMapCapacity = sizeof(BadBlockMapView::Entries) / sizeof(WORD);

// On part number 9 the bootloader expects this word at flash offset 4.
const DWORD kPartNumberHmit = 9;
const DWORD kHmitWord = 0x54494D48;  // "HMIT"
const DWORD kHmitOffset = 4;

const DWORD kErasedWord = 0xFFFFFFFF;

DWORD TablePage = 0;
DWORD Reserve = 0;
DWORD PartNumber = 0;
DWORD PageShift = 0;
DWORD BlockShift = 0;
// Transfers that cover only part of a page go through here.
DWORD BounceWords[kPageBytes / 4];
BYTE* const BounceBuffer = reinterpret_cast<BYTE*>(BounceWords);

bool MapFilled() {
  return BadBlockMap && (BadBlockMap->Signature == kBadBlockMapSignature || RelocationInProgress);
}

// 0 (done) and 8 (a corrected bit) are success.
int Outcome(NandResult result) { return result == kNandDone || result == kNandCorrected; }

// A FlashFailure for a result: `failed` when the chip reported the operation failed.
int FailureOf(NandResult result, int failed) {
  if (Outcome(result)) return kFlashFailNone;
  if (result == kNandProgramEraseFailed) return failed;
  if (result == kNandTimeout) return kFlashFailTimeout;
  return kFlashFailOther;
}

int DeviceTypeFor(DWORD id) {
  switch (id & 0xFFFF) {
    case 0xD3EC:
      return 2;
    case 0xF1EC:
    case 0xDAEC:
    case 0xDCEC:
      return 1;
    case 0xDCAD:
      return 3;
    default:
      return 0;
  }
}

// The smallest n >= 1 with value >> n at most 1.
DWORD ShiftOf(DWORD value) {
  DWORD n = 1;
  while ((value >> n) > 1) ++n;
  return n;
}

DWORD LogicalBlockCount() { return NandBlockCount() - Reserve; }

bool InReserve(DWORD block) { return block >= LogicalBlockCount() && block < NandBlockCount(); }

// Pages of the block between its first page and its physical first page.
DWORD PageOffsetOf(DWORD block) {
  return (static_cast<DWORD>(BadBlockMap->Entries[block]) - block) << BlockShift;
}

void MapFromTable() {
  RelocationMapFromTable(&RelocationTable, NandBlockCount(), BadBlockMap->Entries);
}

void BuildMap() {
  MapFromTable();
  // The signature last: another process that opens the map never sees it half built.
  BadBlockMap->Signature = kBadBlockMapSignature;
}

// On part number 9 the word that lands at offset 4 is always "HMIT": word 1 of the caller's
// buffer for a write from offset 0, word 0 otherwise. Bytes of that word past the caller's
// count are not stored, so a short buffer is never written beyond its end.
void StoreHmitWord(const void* source, DWORD offset, DWORD count) {
  BYTE* buffer = static_cast<BYTE*>(const_cast<void*>(source));
  DWORD at = offset == 0 ? kHmitOffset : 0;
  BYTE word[4];
  memcpy(word, &kHmitWord, 4);
  for (DWORD k = 0; k < 4; ++k) {
    if (at + k < count) buffer[at + k] = word[k];
  }
}

bool AllErased(const BYTE* bytes, DWORD count) {
  for (DWORD i = 0; i + 4 <= count; i += 4) {
    DWORD word;
    memcpy(&word, bytes + i, 4);
    if (word != kErasedWord) return false;
  }
  return true;
}

// The spare area as the controller lays it out with ECC on: the bytes a transfer carries, then
// the ECC bytes, six for each 512-byte step of the page. Byte 0 is where the maker marks a
// bad block (in its first pages); it never holds anything of ours outside the table page.
const DWORD kFreeSpareBytes = 40;
const DWORD kEccStepBytes = 512;
const DWORD kEccBytesPerStep = 6;

DWORD ZeroBits(const BYTE* bytes, DWORD count) {
  DWORD zeros = 0;
  for (DWORD i = 0; i < count; ++i) {
    for (BYTE b = static_cast<BYTE>(~bytes[i]); b; b = static_cast<BYTE>(b & (b - 1))) ++zeros;
  }
  return zeros;
}

// Whether a page read raw (its data, then all its spare bytes) holds no data: each 512-byte
// step with its ECC bytes is erased but for one bit (a bit that flipped since the erase, as
// the ECC would mend in a programmed step), and so are the other spare bytes. A page that
// holds only the maker's bad-block mark holds no data either.
bool HoldsNoData(const BYTE* page, const BYTE* spare) {
  DWORD page_bytes = NandPageBytes();
  for (DWORD step = 0; step < page_bytes / kEccStepBytes; ++step) {
    const BYTE* ecc = spare + kFreeSpareBytes + step * kEccBytesPerStep;
    if (ZeroBits(page + step * kEccStepBytes, kEccStepBytes) + ZeroBits(ecc, kEccBytesPerStep) >
        1) {
      return false;
    }
  }
  return ZeroBits(spare + kBadBlockMarkByte + 1, kFreeSpareBytes - kBadBlockMarkByte - 1) <= 1;
}

// Reads a physical page raw, with every spare byte, into `page` (one page and 64 bytes,
// word-aligned). 1 when it holds no data, 0 when it holds some, -1 when it cannot be read.
int ReadRawHoldsNoData(BYTE* page, DWORD physical) {
  int previous_ecc = NandSetEcc(0);
  int previous_spare = NandSetSpare(1);
  BYTE* spare = page + NandPageBytes();
  memset(spare, 0xFF, kMaxSpareBytes);
  NandResult read = NandReadPage(page, spare, NandSpareBytes(), physical);
  NandSetSpare(previous_spare);
  NandSetEcc(previous_ecc);
  if (read != kNandDone) return -1;
  return HoldsNoData(page, spare) ? 1 : 0;
}

bool ReadErasedPage(DWORD physical) {
  DWORD words[(kPageBytes + kMaxSpareBytes) / 4];
  return ReadRawHoldsNoData(reinterpret_cast<BYTE*>(words), physical) == 1;
}

// Whether a physical page holds anything: read raw, with its spare bytes, an erased page is
// 0xFF throughout, and a page programmed with ECC carries its ECC bytes in the spare area.
// -1 when the page cannot be read.
int PageProgrammed(DWORD physical) {
  DWORD words[(kPageBytes + kMaxSpareBytes) / 4];  // word-aligned for the controller's FIFO
  BYTE* buffer = reinterpret_cast<BYTE*>(words);
  int previous_ecc = NandSetEcc(0);
  int previous_spare = NandSetSpare(1);
  DWORD spare_bytes = NandSpareBytes();
  NandResult read = NandReadPage(buffer, buffer + NandPageBytes(), spare_bytes, physical);
  NandSetSpare(previous_spare);
  NandSetEcc(previous_ecc);
  if (read != kNandDone) return -1;
  return AllErased(buffer, NandPageBytes() + spare_bytes) ? 0 : 1;
}

// A write that covers part of a page programs that page a second time when it already holds
// data: the ECC bytes of the two programs combine and the page no longer reads. The pages at
// either end of a write are the ones it may cover in part. 1 when they are erased.
int EndPagesErased(DWORD offset, DWORD count) {
  DWORD page_bytes = NandPageBytes();
  DWORD ends[2] = {offset, offset + count - 1};
  for (int i = 0; i < 2; ++i) {
    DWORD page = ends[i] >> PageShift;
    DWORD first = page << PageShift;
    int whole = offset <= first && offset + count >= first + page_bytes;
    DWORD physical = NandPhysicalPage(page);
    if (whole || physical == kNoPhysicalPage) continue;
    if (PageProgrammed(physical) != 0) return 0;
  }
  return 1;
}

}  // namespace NandLayer

using namespace NandLayer;

DWORD NandPhysicalPage(DWORD page) {
  DWORD pages = NandPagesPerBlock();
  DWORD offset = PageOffsetOf(page >> BlockShift);
  // Logical pages from the table page on are one page further on, so that they fill the
  // whole of physical block 1; the one logical page this leaves over is never stored.
  if (page >= TablePage && page < TablePage + pages) return page + offset + 1;
  if (page == TablePage + pages) return kNoPhysicalPage;
  return page + offset;
}

int NandInit() {
  if (!BadBlockMap) {
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                        kBadBlockMapBytes, kBadBlockMapName);
    if (!mapping) return 0;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kBadBlockMapBytes);
    if (!view) {
      CloseHandle(mapping);
      return 0;
    }
    BadBlockMap = static_cast<BadBlockMapView*>(view);
  }
  // A filled map belongs to a system that is already running: the controller is taken over
  // as it stands and the table page is not read.
  int first_time = BadBlockMap->Signature != kBadBlockMapSignature;

  FlashOps.DeviceType = 0;
  if (NandAttach(first_time) != kNandDone) return 0;
  DWORD id = 0;
  NandResult read = NandReadId(&id);
  NandRestoreControl();
  if (read != kNandDone) return 0;
  int type = DeviceTypeFor(id);
  if (!type) return 0;
  FlashOps.DeviceType = type;

  DWORD count = NandBlockCount();
  if (NandPageBytes() != kPageBytes || NandPagesPerBlock() != kPagesPerBlock || count == 0 ||
      count > kMapCapacity) {
    return 0;
  }
  TablePage = kRelocationTablePage;
  Reserve = RelocationReserveBlocks(count);
  FlashOps.FlashSize = (count - Reserve) * NandBlockBytes(0);

  PartNumber = GetCpuPartNumber();
  BlockShift = ShiftOf(NandPagesPerBlock());
  PageShift = ShiftOf(NandPageBytes());

  NandSetEcc(1);
  NandSetSpare(1);
  if (!first_time) {
    NandRestoreControl();
    return 1;
  }

  // A table that fails its check could map a block onto another's data: the driver does not
  // start until it reads true again.
  LoadTablePage();
  if (RelocationTable.Signature != kRelocationTableSignature || TableDamaged) return 0;
  BuildMap();
  NandRestoreControl();
  return 1;
}

int EraseMappedBlock(DWORD page) {
  FlashOps.LastFailure = kFlashFailOther;
  if (!MapFilled()) return 0;
  DWORD b = page >> BlockShift;
  // Block 0 holds the table page: keep it across the erase. Outside a relocation (which has
  // checked the table it holds) only a table that agrees with the map is kept.
  if (b == 0) {
    LoadTablePage();
    if (!RelocationInProgress && !TableMatchesMap()) return 0;
  }
  NandResult result = NandEraseBlock(page + PageOffsetOf(b));
  // The logical block now lives, erased, in its replacement.
  if (result == kNandProgramEraseFailed && RelocateBlock(page, 0)) result = kNandDone;
  // Logical page 63 of block 0 always lives in physical block 1. While logical block 1 lives
  // there too, its erase clears the page; once block 1 has moved, nothing else ever erases
  // physical block 1, so block 0's erase does, or the page could never be written again.
  DWORD pages = NandPagesPerBlock();
  if (b == 0 && result == kNandDone && BadBlockMap->Entries[1] != 1) {
    result = NandEraseBlock(NandPhysicalPage(TablePage) & ~(pages - 1));
  }
  // A table that did not land whole is no success; the map follows what did.
  if (b == 0 && StoreTablePage() != kNandDone) {
    FollowTablePage();
    FlashOps.LastFailure = kFlashFailProgram;
    return 0;
  }
  FlashOps.LastFailure = FailureOf(result, kFlashFailErase);
  return Outcome(result);
}

int NandEraseRange(DWORD offset, DWORD length) {
  DWORD block_bytes = NandBlockBytes(offset);
  if (block_bytes == 0) return 0;
  // 64-bit: a length near 4 GB must not wrap round to a small range.
  ULONGLONG start = offset - offset % block_bytes;
  ULONGLONG total = static_cast<ULONGLONG>(length) + offset % block_bytes;
  total = (total + block_bytes - 1) / block_bytes * block_bytes;
  if (start + total > FlashOps.FlashSize) return 0;

  EraseProgressState progress;
  BeginEraseProgress(&progress, static_cast<DWORD>(total));
  for (ULONGLONG done = 0; done < total; done += block_bytes) {
    if (!ReportEraseProgress(&progress) ||
        !EraseMappedBlock(static_cast<DWORD>((start + done) >> PageShift))) {
      NandRestoreControl();
      return 0;
    }
    AdvanceEraseProgress(&progress, block_bytes);
  }
  NandRestoreControl();
  return 1;
}

int NandWriteBuffer(const void* source, DWORD offset, DWORD count) {
  FlashOps.LastFailure = kFlashFailOther;
  if (!MapFilled()) return 0;
  if (static_cast<ULONGLONG>(offset) + count > FlashOps.FlashSize) return 0;
  if (count && !EndPagesErased(offset, count)) {
    NandRestoreControl();
    return 0;
  }
  if (PartNumber == kPartNumberHmit && offset <= kHmitOffset && offset + count > kHmitOffset) {
    StoreHmitWord(source, offset, count);
  }

  const BYTE* from = static_cast<const BYTE*>(source);
  DWORD page_bytes = NandPageBytes();
  DWORD page = offset >> PageShift;
  DWORD in_page = offset & (page_bytes - 1);
  NandResult result = kNandDone;
  for (DWORD left = count; left > 0;) {
    DWORD chunk = page_bytes - in_page < left ? page_bytes - in_page : left;
    const void* data = from;
    if (chunk != page_bytes) {
      memset(BounceBuffer, 0xFF, page_bytes);
      memcpy(BounceBuffer + in_page, from, chunk);
      data = BounceBuffer;
    }
    if (NandPhysicalPage(page) != kNoPhysicalPage) {
      result = NandProgramPage(data, NULL, 0, NandPhysicalPage(page));
      while (result == kNandProgramEraseFailed) {
        if (!RelocateBlock(page, 1)) break;
        result = NandProgramPage(data, NULL, 0, NandPhysicalPage(page));
      }
      if (result != kNandDone) break;
    }
    ++page;
    from += chunk;
    left -= chunk;
    in_page = 0;
  }
  NandRestoreControl();
  FlashOps.LastFailure = FailureOf(result, kFlashFailProgram);
  return Outcome(result);
}

int NandReadBuffer(void* destination, DWORD offset, DWORD count) {
  if (!MapFilled()) return 0;
  if (static_cast<ULONGLONG>(offset) + count > FlashOps.FlashSize) return 0;

  BYTE* to = static_cast<BYTE*>(destination);
  DWORD page_bytes = NandPageBytes();
  DWORD page = offset >> PageShift;
  DWORD in_page = offset & (page_bytes - 1);
  NandResult result = kNandDone;
  for (DWORD left = count; left > 0;) {
    DWORD chunk = page_bytes - in_page < left ? page_bytes - in_page : left;
    BYTE* into = chunk == page_bytes ? to : BounceBuffer;
    DWORD physical = NandPhysicalPage(page);
    if (physical == kNoPhysicalPage) {
      // Nothing is stored there: it reads as erased.
      memset(into, 0xFF, page_bytes);
    } else {
      result = NandReadPage(into, NULL, 0, physical);
      // With ECC on, an erased page reads as uncorrectable: read raw, a page that holds no
      // data is erased, not damaged, and reads as 0xFF.
      if (result == kNandUncorrectable && ReadErasedPage(physical)) {
        memset(into, 0xFF, page_bytes);
        result = kNandDone;
      }
      if (!Outcome(result)) break;
    }
    if (into == BounceBuffer) memcpy(to, BounceBuffer + in_page, chunk);
    ++page;
    to += chunk;
    left -= chunk;
    in_page = 0;
  }
  NandRestoreControl();
  return Outcome(result);
}

DWORD NandReadWord(DWORD offset) {
  DWORD word = 0;
  if (!NandReadBuffer(&word, offset, 4)) return 0;
  return word;
}

int NandWriteWord(DWORD offset, DWORD value) { return NandWriteBuffer(&value, offset, 4); }
