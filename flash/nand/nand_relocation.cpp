// Relocation: a logical block whose erase or program fails moves to a block of the reserve
// at the top of the chip, and the move is appended to the table page, read and written
// through the table's own rules (relocation_table.h), so that the next start in a fresh
// system rebuilds the same map.

#include <string.h>

#include "flash/nand/nand_flash.h"
#include "flash/nand/nand_layer.h"

using namespace NandLayer;

RelocationTablePage RelocationTable;
bool RelocationInProgress = false;

namespace NandLayer {

// Set by LoadTablePage when the table it read fails the check its page carries (the CRC of
// its newest check, or the ECC) and nothing explains the difference: no table is built from
// it and none is programmed back.
bool TableDamaged = false;

}  // namespace NandLayer

namespace {

// The map as it stood when the outermost relocation began, put back if the relocation does
// not land in the table page. Meanwhile the shared map carries no signature: a program that
// ends in the middle of a relocation leaves a map the next start rebuilds from the table page,
// never one that names a block the table does not.
WORD MapBeforeRelocation[sizeof(BadBlockMapView::Entries) / sizeof(WORD)];

// The table as the failed program that FollowTablePage follows meant to write it.
RelocationTablePage TableProgrammed;

DWORD EntryCount() { return RelocationEntryCount(&RelocationTable); }

DWORD BitsApart(const BYTE* a, const BYTE* b, DWORD count) {
  DWORD bits = 0;
  for (DWORD i = 0; i < count && bits < 2; ++i) {
    for (BYTE d = static_cast<BYTE>(a[i] ^ b[i]); d; d = static_cast<BYTE>(d & (d - 1))) ++bits;
  }
  return bits;
}

// What vouches for the table page as LoadTablePage last read it.
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
  NandReadPage(raw_words, spare, NandSpareBytes(), kRelocationTablePage);
  // A page whose ECC bytes are its own is read with the ECC too; one the ECC cannot mend is
  // taken as read without it.
  const BYTE* ecc_read = NULL;
  if (RelocationTableEccSpeaks(spare)) {
    NandSetEcc(1);
    NandSetSpare(0);
    NandResult read = NandReadPage(ecc_words, NULL, 0, kRelocationTablePage);
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
    NandResult marked = NandProgramPage(&unchanged, spare, NandSpareBytes(), kRelocationTablePage);
    if (marked != kNandDone) {
      NandSetSpare(previous_spare);
      NandSetEcc(previous_ecc);
      return marked;
    }
    TableChecks.Spare[kRelocationAppendMark] = 0;
  }
  BYTE* check = RelocationPrepareProgram(&RelocationTable, &TableChecks, append, spare);
  NandResult result =
      NandProgramPage(&RelocationTable, spare, NandSpareBytes(), kRelocationTablePage);
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

namespace NandLayer {

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
  RelocationMapFromTable(&RelocationTable, NandBlockCount(), BadBlockMap->Entries);
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

}  // namespace NandLayer

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

namespace {

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

}  // namespace

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
