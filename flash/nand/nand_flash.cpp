// The NAND bad-block layer: the logical byte space of the flash operations table over the
// controller's physical pages. Logical blocks reach their physical blocks through the shared
// BadBlockMap; a block that fails to erase or program is replaced from the reserve at the
// top of the chip, and the replacement is appended to the table page so that the next
// initialisation in a fresh system rebuilds the same map.

#include "flash/nand/nand_flash.h"

#include <string.h>

#include "ce/file_mapping.h"
#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "platform/kernel_call.h"

BadBlockMapView* BadBlockMap = NULL;
RelocationTablePage RelocationTable;
bool RelocationInProgress = false;

// The shared map is 16388 bytes.
C_ASSERT(sizeof(BadBlockMapView) == kBadBlockMapBytes);

namespace {

const WCHAR kBadBlockMapName[] = TEXT("NAND_FLASH_BBMT");
const DWORD kMapCapacity = sizeof(BadBlockMapView::Entries) / sizeof(WORD);

// Every known chip has 2048-byte pages and 64 pages a block; the layout around the table
// page and the one-page buffers rely on it.
const DWORD kPageBytes = 2048;
const DWORD kPagesPerBlock = 64;
const DWORD kMaxSpareBytes = 64;

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

// The map as it stood when the outermost relocation began, put back if the relocation does
// not land in the table page. Meanwhile the shared map carries no signature: a program that
// ends in the middle of a relocation leaves a map the next start rebuilds from the table page,
// never one that names a block the table does not.
WORD MapBeforeRelocation[sizeof(BadBlockMapView::Entries) / sizeof(WORD)];

// Set by LoadTablePage when the table it read fails the check its page carries (the CRC of
// its newest check, or the ECC) and nothing explains the difference: no table is built from
// it and none is programmed back.
bool TableDamaged = false;

bool MapFilled() {
  return BadBlockMap && (BadBlockMap->Signature == kBadBlockMapSignature || RelocationInProgress);
}

// 0 (done) and 8 (a corrected bit) are success.
int Outcome(NandResult result) { return result == kNandDone || result == kNandCorrected; }

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

DWORD EntryCount() { return RelocationEntryCount(&RelocationTable); }

void MapFromTable() {
  RelocationMapFromTable(&RelocationTable, NandBlockCount(), BadBlockMap->Entries);
}

void BuildMap() {
  MapFromTable();
  // The signature last: another process that opens the map never sees it half built.
  BadBlockMap->Signature = kBadBlockMapSignature;
}

// The table as the failed program that FollowTablePage follows meant to write it.
RelocationTablePage TableProgrammed;

DWORD BitsApart(const BYTE* a, const BYTE* b, DWORD count) {
  DWORD bits = 0;
  for (DWORD i = 0; i < count && bits < 2; ++i) {
    for (BYTE d = static_cast<BYTE>(a[i] ^ b[i]); d; d = static_cast<BYTE>(d & (d - 1))) ++bits;
  }
  return bits;
}

// After a program of the table buffer into the table page that failed, part of it may have
// landed: the map follows what the page now says, as the next start will. A page that no
// longer reads as a table leaves the map as it is. What lands of a failed program carries no
// check of its own (the checks and the ECC bytes lie at the end of the page), so a bit that
// reads flipped in it would be taken as the table; a page one bit away from the table just
// programmed is that table, the bit read flipped, as a check one bit away would be.
void FollowTablePage() {
  TableProgrammed = RelocationTable;
  LoadTablePage();
  if (RelocationTable.Signature != kRelocationTableSignature || TableDamaged) return;
  if (BitsApart(reinterpret_cast<const BYTE*>(&RelocationTable),
                reinterpret_cast<const BYTE*>(&TableProgrammed), sizeof RelocationTable) == 1) {
    RelocationTable = TableProgrammed;
  }
  MapFromTable();
}

// Whether the table just read into the table buffer is the one the map was built from. The
// page is read with ECC off, so a bit that reads flipped goes unnoticed; programmed back
// after block 0's erase, or over itself with an append, a flipped 0 would become the table.
// A flip that changes what a block maps to shows as a difference between the map the table
// implies (built as BuildMap builds it) and the map; then nothing is programmed.
bool TableMatchesMap() {
  if (RelocationTable.Signature != kRelocationTableSignature || TableDamaged) return false;
  DWORD count = NandBlockCount();
  WORD* implied = MapBeforeRelocation;  // free outside a relocation
  RelocationMapFromTable(&RelocationTable, count, implied);
  return memcmp(implied, BadBlockMap->Entries, count * sizeof(WORD)) == 0;
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
const DWORD kBadBlockMarkByte = 0;

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

// Copies the pages of physical block `old` that hold data into the block that logical block
// `b` maps to now. A page that holds none (erased, or with only the maker's bad-block mark)
// stays erased, and the mark is never copied: it is no data. A page that holds data it does
// not give back whole (more bit errors than the ECC mends) fails the copy, so the new block
// never holds a page that reads wrong unnoticed. The page at `failed_position` gets no data
// (0xFF) but keeps what else its spare bytes hold: the caller programs it afterwards. A
// destination page that fails moves the block on again and the copy restarts. 1/0.
int CopyBlock(DWORD b, DWORD old, DWORD failed_position, int ecc_on) {
  DWORD pages = NandPagesPerBlock();
  DWORD page_bytes = NandPageBytes();
  DWORD target = BadBlockMap->Entries[b];
  int previous_spare = NandSetSpare(1);
  DWORD spare_bytes = NandSpareBytes();
  DWORD words[(kPageBytes + kMaxSpareBytes) / 4];  // word-aligned for the controller's FIFO
  BYTE* buffer = reinterpret_cast<BYTE*>(words);
  BYTE* spare = buffer + page_bytes;

  int ok = 1;
  for (DWORD k = 0; k < pages;) {
    NandResult read = NandReadPage(buffer, spare, spare_bytes, old * pages + k);
    if (read != kNandDone && read != kNandUncorrectable && read != kNandCorrected) {
      ok = 0;
      break;
    }
    spare[kBadBlockMarkByte] = 0xFF;
    NandResult program;
    if (k == failed_position) {
      // The caller programs this page again once the block has moved. Its place gets no
      // data; spare bytes that hold anything are kept, written without ECC: ECC bytes of
      // 0xFF data programmed now would be ANDed with those of the real data and spoil every
      // read.
      if (AllErased(spare, spare_bytes)) {
        ++k;
        continue;
      }
      int previous_ecc = NandSetEcc(0);
      program = NandProgramPage(NULL, spare, spare_bytes, target * pages + k);
      NandSetEcc(previous_ecc);
    } else {
      // With ECC on, a page that reads cleanly (or corrected) was programmed, even with 0xFF
      // data. Otherwise its raw bytes tell: with ECC, an erased page reads as uncorrectable.
      if (!ecc_on || read == kNandUncorrectable) {
        int empty = ecc_on ? ReadRawHoldsNoData(buffer, old * pages + k)
                           : (HoldsNoData(buffer, spare) ? 1 : 0);
        if (empty == 1) {
          ++k;
          continue;
        }
        if (ecc_on) {
          ok = 0;
          break;
        }
      }
      program = NandProgramPage(buffer, spare, spare_bytes, target * pages + k);
    }
    if (program == kNandProgramEraseFailed) {
      DWORD moved = RelocateBlock(b * pages + k, 0);
      if (!moved) {
        ok = 0;
        break;
      }
      target = moved;
      k = 0;
      continue;
    }
    if (program != kNandDone) {
      ok = 0;
      break;
    }
    ++k;
  }
  NandSetSpare(previous_spare);
  return ok;
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

}  // namespace

DWORD NandPhysicalPage(DWORD page) {
  DWORD pages = NandPagesPerBlock();
  DWORD offset = PageOffsetOf(page >> BlockShift);
  // Logical pages from the table page on are one page further on, so that they fill the
  // whole of physical block 1; the one logical page this leaves over is never stored.
  if (page >= TablePage && page < TablePage + pages) return page + offset + 1;
  if (page == TablePage + pages) return kNoPhysicalPage;
  return page + offset;
}

// What vouches for the table page as LoadTablePage last read it.
namespace {
RelocationTableChecks TableChecks;
}  // namespace

void LoadTablePage() {
  int previous_ecc = NandSetEcc(0);
  int previous_spare = NandSetSpare(1);
  DWORD raw_words[kPageBytes / 4];
  DWORD ecc_words[kPageBytes / 4];
  DWORD spare_words[kMaxSpareBytes / 4];
  BYTE* spare = reinterpret_cast<BYTE*>(spare_words);
  memset(spare, 0xFF, sizeof spare_words);
  NandReadPage(raw_words, spare, NandSpareBytes(), TablePage);
  // A page whose ECC bytes are its own is read with the ECC too; one the ECC cannot mend is
  // taken as read without it.
  const BYTE* ecc_read = NULL;
  if (RelocationTableEccSpeaks(spare)) {
    NandSetEcc(1);
    NandSetSpare(0);
    NandResult read = NandReadPage(ecc_words, NULL, 0, TablePage);
    if (read == kNandDone || read == kNandCorrected) {
      ecc_read = reinterpret_cast<const BYTE*>(ecc_words);
    }
  }
  RelocationTableVerdict verdict =
      ReadRelocationTable(reinterpret_cast<const BYTE*>(raw_words), spare, ecc_read,
                          NandBlockCount(), &RelocationTable, &TableChecks);
  TableDamaged = verdict == kRelocationTableDamaged;
  NandSetSpare(previous_spare);
  NandSetEcc(previous_ecc);
}

namespace {

// Programs the table buffer into the table page: with its ECC bytes after block 0's erase, or
// over the page without them as an append, with the check the page's format gives the program.
NandResult ProgramTablePage(bool append) {
  int previous_ecc = NandSetEcc(append ? 0 : 1);
  int previous_spare = NandSetSpare(1);
  DWORD spare_words[kMaxSpareBytes / 4];
  BYTE* spare = reinterpret_cast<BYTE*>(spare_words);
  if (append && RelocationTableEccSpeaks(TableChecks.Spare)) {
    // The page's ECC bytes still speak for its data. The append mark goes first, on its own
    // (the data bytes all ones change nothing): an append that lands in part must never be
    // read through ECC bytes that no longer fit it, which would "mend" it into another table.
    static RelocationTablePage unchanged;
    memset(&unchanged, 0xFF, sizeof unchanged);
    memset(spare, 0xFF, sizeof spare_words);
    spare[kRelocationAppendMark] = 0;
    NandResult marked = NandProgramPage(&unchanged, spare, NandSpareBytes(), TablePage);
    if (marked != kNandDone) {
      NandSetSpare(previous_spare);
      NandSetEcc(previous_ecc);
      return marked;
    }
    TableChecks.Spare[kRelocationAppendMark] = 0;
  }
  BYTE* check = RelocationPrepareProgram(&RelocationTable, &TableChecks, append, spare);
  NandResult result = NandProgramPage(&RelocationTable, spare, NandSpareBytes(), TablePage);
  RelocationClearCheck(check);
  NandSetSpare(previous_spare);
  NandSetEcc(previous_ecc);
  return result;
}

// Programs the table buffer over the table page after an append or a retirement: only bits
// of the page go to 0, and its ECC bytes, which no longer fit, are marked so.
NandResult AppendTablePage() { return ProgramTablePage(true); }

bool AppendCheckable() { return RelocationAppendCheckable(&TableChecks); }

}  // namespace

NandResult StoreTablePage() { return ProgramTablePage(false); }

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

int FindReplacement(DWORD block, DWORD* replacement, DWORD* index) {
  DWORD n = EntryCount();
  // The new entry goes at n and the slot after it must still hold the end mark, below the
  // check area when the page has one.
  if (n >= (TableChecks.HasArea ? kRelocationCheckedMaxEntries : kRelocationMaxEntries)) return 0;

  DWORD lowest = LogicalBlockCount();
  DWORD candidate = NandBlockCount() - 1;
  for (DWORD i = 0; i < n; ++i) {
    RelocationEntry& entry = RelocationTable.Entries[i];
    if (entry.BadBlock != 0 && InReserve(entry.Replacement) && entry.Replacement <= candidate) {
      candidate = entry.Replacement - 1;
    }
    // The block's earlier replacement stays used but maps nothing any more.
    if (entry.BadBlock == block) entry.BadBlock = 0;
  }
  // Retired entries and entries out of order still hold their blocks: step below them.
  for (;;) {
    if (candidate < lowest) return 0;
    bool lowered = false;
    for (DWORD i = 0; i < n; ++i) {
      if (RelocationTable.Entries[i].Replacement == candidate) {
        --candidate;
        lowered = true;
      }
    }
    if (!lowered) break;
  }
  *replacement = candidate;
  *index = n;
  return 1;
}

DWORD RelocateBlock(DWORD page, int copy) {
  DWORD b = page >> BlockShift;
  // Block 0 holds the table page and is never moved.
  if (b == 0 || !MapFilled() || b >= LogicalBlockCount()) return 0;

  DWORD pages = NandPagesPerBlock();
  DWORD old = BadBlockMap->Entries[b];
  DWORD physical = NandPhysicalPage(page);
  DWORD failed_position = physical == kNoPhysicalPage ? pages : physical - old * pages;
  int ecc_on = (NandControlWord() & kNdcrEccEn) != 0;

  bool outermost = false;
  if (!RelocationInProgress) {
    LoadTablePage();
    if (!TableMatchesMap() || !AppendCheckable()) return 0;
    memcpy(MapBeforeRelocation, BadBlockMap->Entries, NandBlockCount() * sizeof(WORD));
    RelocationInProgress = true;
    BadBlockMap->Signature = 0;
    outermost = true;
  }

  int ok = 0;
  DWORD replacement;
  DWORD index;
  if (FindReplacement(b, &replacement, &index)) {
    RelocationTable.Entries[index].BadBlock = static_cast<WORD>(b);
    RelocationTable.Entries[index].Replacement = static_cast<WORD>(replacement);
    BadBlockMap->Entries[b] = static_cast<WORD>(replacement);
    // Erasing the replacement may move the block on again (nested).
    ok = EraseMappedBlock(page);
    if (ok && copy) ok = CopyBlock(b, old, failed_position, ecc_on);
  }

  if (outermost) {
    // An append only clears bits of the erased end of the table and a retirement only
    // clears a bad-block field, so the page is programmed over itself without an erase.
    // What the table page does not record, the map does not hold.
    if (ok && AppendTablePage() != kNandDone) {
      ok = 0;
      memcpy(BadBlockMap->Entries, MapBeforeRelocation, NandBlockCount() * sizeof(WORD));
      FollowTablePage();
    } else if (!ok) {
      memcpy(BadBlockMap->Entries, MapBeforeRelocation, NandBlockCount() * sizeof(WORD));
    }
    RelocationInProgress = false;
    BadBlockMap->Signature = kBadBlockMapSignature;
  }
  return ok ? BadBlockMap->Entries[b] : 0;
}

int EraseMappedBlock(DWORD page) {
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
    return 0;
  }
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
