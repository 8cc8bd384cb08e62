// The relocation table page's format and checks; see relocation_table.h for the layout.

#include "flash/nand/relocation_table.h"

#include <string.h>

// The table fills one 2048-byte page.
C_ASSERT(sizeof(RelocationTablePage) == 2048);

namespace {

const DWORD kPageBytes = 2048;
const DWORD kReserveDivisor = 50;

const DWORD kTableEccMark = 1;
const DWORD kTableAppendMark = kRelocationAppendMark;
// An append, which cannot rewrite the ECC bytes, leaves a CRC-32 of the table it wrote in the
// next free slot of spare bytes 4 to 39: four bytes of CRC, two cleared bytes that mark the
// slot used. Six appends fit between two erases of block 0; the seventh clears spare byte 3,
// and from then on the slots say nothing of the table.
const DWORD kTableCrcGone = 3;
const DWORD kTableCrcFirst = 4;
const DWORD kTableSlotBytes = 6;
const DWORD kTableCrcSlots = 6;

// The spare slots run out; the data area past the entries does not. Its top 1280 bytes hold a
// check for every program of the table since block 0's erase (the program after the erase fills
// slot 0, each append the next free slot): 5-byte slots from the end of the page downward, each
// a CRC-32 of the table it wrote, low byte first, then a byte cleared to mark the slot used,
// which lands after the CRC. Readers of the table stop at its end mark and never look there.
// A table hands out one reserve block an append, and the largest reserve is 163 blocks (8192
// blocks): 256 slots are far more than a page between two erases ever needs. The entries stay
// below the area, with the slot after the end mark erased, so that an end mark read flipped
// never reaches into it; a page whose entries do reach into it (never written so here) has no
// checks there.
const DWORD kTableCheckFirst = kPageBytes - kRelocationCheckBytes;
const DWORD kTableCheckSlotBytes = 5;
const DWORD kTableCheckSlots = kRelocationCheckBytes / kTableCheckSlotBytes;
const DWORD kEntriesBelowChecks = (kTableCheckFirst - 4) / 4;
C_ASSERT(kTableCheckSlots == 256);
C_ASSERT(kRelocationCheckedMaxEntries == kEntriesBelowChecks - 2);

DWORD OneBits(BYTE value) {
  DWORD n = 0;
  for (; value; value = static_cast<BYTE>(value & (value - 1))) ++n;
  return n;
}

DWORD OneBits(DWORD value) {
  DWORD n = 0;
  for (; value; value &= value - 1) ++n;
  return n;
}

DWORD CrcAt(const BYTE* at) {
  return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 |
         static_cast<DWORD>(at[2]) << 16 | static_cast<DWORD>(at[3]) << 24;
}

void PutCrc(BYTE* at, DWORD crc) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(crc >> 8 * i);
}

// CRC-32 (IEEE, reflected) a nibble at a time: a table small enough to be a constant.
const DWORD kCrcNibbles[16] = {
    0x00000000, 0x1DB71064, 0x3B6E20C8, 0x26D930AC, 0x76DC4190, 0x6B6B51F4, 0x4DB26158, 0x5005713C,
    0xEDB88320, 0xF00F9344, 0xD6D6A3E8, 0xCB61B38C, 0x9B64C2B0, 0x86D3D2D4, 0xA00AE278, 0xBDBDF21C,
};

DWORD TableCrc(const RelocationTablePage* table) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(table);
  DWORD crc = 0xFFFFFFFF;
  for (DWORD i = 0; i < sizeof *table; ++i) {
    crc ^= bytes[i];
    crc = kCrcNibbles[crc & 0xF] ^ crc >> 4;
    crc = kCrcNibbles[crc & 0xF] ^ crc >> 4;
  }
  return ~crc;
}

const BYTE* CheckSlot(const RelocationTableChecks* checks, DWORD slot) {
  return checks->Area + kRelocationCheckBytes - kTableCheckSlotBytes * (slot + 1);
}

// A mark is taken as cleared, or as erased, with up to three of its bits read flipped.
bool CheckSlotUsed(const RelocationTableChecks* checks, DWORD slot) {
  return OneBits(CheckSlot(checks, slot)[4]) <= 4;
}

// The slot the next program of the table fills: the first erased one above the last used. One
// that a program cut short left in part is passed over. kTableCheckSlots when none is left.
DWORD NextCheckSlot(const RelocationTableChecks* checks) {
  DWORD slot = 0;
  for (DWORD s = 0; s < kTableCheckSlots; ++s) {
    if (CheckSlotUsed(checks, s)) slot = s + 1;
  }
  for (; slot < kTableCheckSlots; ++slot) {
    const BYTE* at = CheckSlot(checks, slot);
    DWORD k = 0;
    while (k < kTableCheckSlotBytes && at[k] == 0xFF) ++k;
    if (k == kTableCheckSlotBytes) break;
  }
  return slot;
}

// Moves the check area of the page just read into `table` out to `checks`.
void TakeChecks(RelocationTablePage* table, RelocationTableChecks* checks) {
  checks->HasArea = false;
  for (DWORD i = 0; i < kEntriesBelowChecks && !checks->HasArea; ++i) {
    checks->HasArea = table->Entries[i].BadBlock == kRelocationTableEnd;
  }
  memset(checks->Area, 0xFF, sizeof checks->Area);
  if (!checks->HasArea) return;
  BYTE* area = reinterpret_cast<BYTE*>(table) + kTableCheckFirst;
  memcpy(checks->Area, area, kRelocationCheckBytes);
  memset(area, 0xFF, kRelocationCheckBytes);
}

bool SpareSlotUsed(const BYTE* spare, DWORD slot) {
  const BYTE* at = spare + kTableCrcFirst + kTableSlotBytes * slot;
  return OneBits(at[4]) + OneBits(at[5]) <= 2;
}

// The CRC of the page's newest check: its last used slot in the data area, or, on a page that
// has none used (appended to before the data area held checks), the last used spare slot while
// those still speak for the table.
bool LastTableCrc(const RelocationTableChecks* checks, DWORD* crc) {
  DWORD slot = kTableCheckSlots;
  while (slot > 0 && !CheckSlotUsed(checks, slot - 1)) --slot;
  if (slot > 0) {
    *crc = CrcAt(CheckSlot(checks, slot - 1));
    return true;
  }
  if (OneBits(checks->Spare[kTableCrcGone]) <= 1) return false;
  slot = kTableCrcSlots;
  while (slot > 0 && !SpareSlotUsed(checks->Spare, slot - 1)) --slot;
  if (slot == 0) return false;
  *crc = CrcAt(checks->Spare + kTableCrcFirst + kTableSlotBytes * (slot - 1));
  return true;
}

// What lies past the end mark maps nothing, and an append or block 0's erase programs the
// table back: a bit read flipped there (or one that reads 0 where the page should be erased)
// must not become part of the table, so the table holds that part erased. Only once the CRC
// and the ECC have mended what they can: an end mark read flipped would otherwise cut off the
// entries after it. The check area is kept apart, and erased bytes programmed over it leave it
// as it is.
void ClearPastEnd(RelocationTablePage* table) {
  DWORD n = RelocationEntryCount(table);
  if (n >= kRelocationSlots) return;
  table->Entries[n].Replacement = kRelocationTableEnd;
  for (DWORD i = n + 1; i < kRelocationSlots; ++i) {
    table->Entries[i].BadBlock = kRelocationTableEnd;
    table->Entries[i].Replacement = kRelocationTableEnd;
  }
}

// Whether `table` matches `crc` as it is, with one bit of the check read flipped, or with one
// bit of the table turned. Only the header, the entries and the two slots after them are tried
// (a flipped end mark adds one): what lies beyond maps nothing. A bit that makes it match stays
// turned. A CRC-32 over the page tells apart any two tables that differ in three bits or
// fewer, check included, so a bit in the table and one in the check never pass for each
// other; the two are never mended together.
bool MatchesWithOneBit(RelocationTablePage* table, DWORD crc) {
  DWORD found = TableCrc(table);
  if (found == crc || OneBits(found ^ crc) == 1) return true;
  BYTE* bytes = reinterpret_cast<BYTE*>(table);
  DWORD used = 4 + 4 * (RelocationEntryCount(table) + 2);
  if (used > sizeof *table) used = sizeof *table;
  for (DWORD i = 0; i < used; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      bytes[i] = static_cast<BYTE>(bytes[i] ^ 1 << bit);
      if (TableCrc(table) == crc) return true;
      bytes[i] = static_cast<BYTE>(bytes[i] ^ 1 << bit);
    }
  }
  return false;
}

// Whether one entry the last append retired (its bad-block field cleared), named `block`
// again, gives the table `crc` speaks for; with `block` 0, any logical block below
// `logical_blocks` is tried.
bool MatchesWithRetiredEntryBack(RelocationTablePage* table, DWORD crc, DWORD block,
                                 DWORD logical_blocks) {
  if (TableCrc(table) == crc) return true;
  DWORD n = RelocationEntryCount(table);
  DWORD first = block ? block : 1;
  DWORD last = block ? block : logical_blocks - 1;
  for (DWORD i = 0; i < n; ++i) {
    RelocationEntry& entry = table->Entries[i];
    if (entry.BadBlock != 0) continue;
    for (DWORD b = first; b <= last; ++b) {
      entry.BadBlock = static_cast<WORD>(b);
      if (TableCrc(table) == crc) return true;
    }
    entry.BadBlock = 0;
  }
  return false;
}

// Whether `table` is the one the newest check speaks for. A bit read flipped is turned back,
// and so is anything read past the end mark (the table is always programmed erased there). A
// table that differs because its last append landed without its CRC (a program that failed or
// was cut part way, in which the spare bytes come last) is taken as read: what landed is what
// the next start sees. Anything else is damage no check can undo.
bool CheckTableByCrc(RelocationTablePage* table, DWORD crc, DWORD logical_blocks) {
  if (MatchesWithOneBit(table, crc)) return true;
  RelocationTablePage as_read = *table;
  ClearPastEnd(table);
  if (MatchesWithOneBit(table, crc)) return true;
  // The append landed with its entry: without it (and with the entry it retired, if any,
  // naming the block again) the table is the one the CRC was written for.
  bool explained = false;
  DWORD n = RelocationEntryCount(table);
  if (n > 0) {
    DWORD block = table->Entries[n - 1].BadBlock;
    table->Entries[n - 1].BadBlock = kRelocationTableEnd;
    table->Entries[n - 1].Replacement = kRelocationTableEnd;
    ClearPastEnd(table);
    explained = block != 0 && MatchesWithRetiredEntryBack(table, crc, block, logical_blocks);
    *table = as_read;
    ClearPastEnd(table);
  }
  // Only the retirement landed, before the entry: its block is not known.
  if (!explained) explained = MatchesWithRetiredEntryBack(table, crc, 0, logical_blocks);
  *table = as_read;
  return explained;
}

}  // namespace

DWORD RelocationReserveBlocks(DWORD blocks) { return blocks / kReserveDivisor; }

// A mark is taken as set or clear with one bit read flipped.
bool RelocationTableEccSpeaks(const BYTE* spare) {
  return OneBits(spare[kTableEccMark]) <= 1 && OneBits(spare[kTableAppendMark]) >= 7;
}

DWORD RelocationEntryCount(const RelocationTablePage* table) {
  DWORD n = 0;
  while (n < kRelocationSlots && table->Entries[n].BadBlock != kRelocationTableEnd) ++n;
  return n;
}

RelocationTableVerdict ReadRelocationTable(const BYTE* raw, const BYTE* spare, const BYTE* ecc_read,
                                           DWORD blocks, RelocationTablePage* table,
                                           RelocationTableChecks* checks) {
  memcpy(table, raw, sizeof *table);
  memcpy(checks->Spare, spare, sizeof checks->Spare);
  TakeChecks(table, checks);
  // The page as read, in the form the table is kept in: what a mend changed shows against it.
  RelocationTablePage as_read = *table;
  ClearPastEnd(&as_read);

  bool damaged = false;
  DWORD crc;
  bool checked = LastTableCrc(checks, &crc);
  if (checked) {
    damaged = !CheckTableByCrc(table, crc, blocks - RelocationReserveBlocks(blocks));
  }
  if (RelocationTableEccSpeaks(spare)) {
    // The ECC mends a bit that reads flipped, and a page it reads cleanly is the table,
    // whatever a check's own bytes say. A page it cannot mend is damaged unless its check
    // mends it.
    if (ecc_read) {
      memcpy(table, ecc_read, sizeof *table);
      if (checks->HasArea) {
        memset(reinterpret_cast<BYTE*>(table) + kTableCheckFirst, 0xFF, kRelocationCheckBytes);
      }
      damaged = false;
    } else if (!checked) {
      damaged = true;
    }
  }
  ClearPastEnd(table);
  if (table->Signature != kRelocationTableSignature) return kRelocationTableNone;
  if (damaged) return kRelocationTableDamaged;
  return memcmp(table, &as_read, sizeof *table) == 0 ? kRelocationTableIntact
                                                     : kRelocationTableMended;
}

void RelocationMapFromTable(const RelocationTablePage* table, DWORD blocks, WORD* map) {
  DWORD logical_blocks = blocks - RelocationReserveBlocks(blocks);
  for (DWORD k = 0; k < blocks; ++k) map[k] = static_cast<WORD>(k);
  DWORD n = RelocationEntryCount(table);
  for (DWORD i = 0; i < n; ++i) {
    const RelocationEntry& entry = table->Entries[i];
    if (entry.BadBlock == 0 || entry.BadBlock >= logical_blocks) continue;
    if (entry.Replacement < logical_blocks || entry.Replacement >= blocks) continue;
    map[entry.BadBlock] = entry.Replacement;
  }
}

bool RelocationAppendCheckable(const RelocationTableChecks* checks) {
  if (checks->HasArea) return NextCheckSlot(checks) < kTableCheckSlots;
  if (OneBits(checks->Spare[kTableCrcGone]) <= 1) return false;
  return !SpareSlotUsed(checks->Spare, kTableCrcSlots - 1);
}

BYTE* RelocationPrepareProgram(RelocationTablePage* table, const RelocationTableChecks* checks,
                               bool append, BYTE* spare) {
  memset(spare, 0xFF, kRelocationSpareBytes);
  spare[append ? kTableAppendMark : kTableEccMark] = 0;
  DWORD crc = TableCrc(table);
  if (append) {
    DWORD slot = 0;
    while (slot < kTableCrcSlots && SpareSlotUsed(checks->Spare, slot)) ++slot;
    if (slot == kTableCrcSlots) {
      spare[kTableCrcGone] = 0;
    } else {
      BYTE* at = spare + kTableCrcFirst + kTableSlotBytes * slot;
      PutCrc(at, crc);
      at[4] = at[5] = 0;
    }
  }
  // The data area's check goes in with the table: slot 0 after block 0's erase, the next free
  // one for an append. The rest of the area is programmed erased and keeps what it holds.
  DWORD slot = append ? NextCheckSlot(checks) : 0;
  if (!checks->HasArea || slot >= kTableCheckSlots) return NULL;
  BYTE* check = reinterpret_cast<BYTE*>(table) + kPageBytes - kTableCheckSlotBytes * (slot + 1);
  PutCrc(check, crc);
  check[4] = 0;
  return check;
}

void RelocationClearCheck(BYTE* check) {
  if (check) memset(check, 0xFF, kTableCheckSlotBytes);
}
