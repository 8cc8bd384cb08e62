// The relocation table page: its format, the checks it carries and what it implies. Pure
// functions over a page and its spare bytes: the NAND driver reads and programs the page, and
// the host's tools read the same page through the same rules.
//
// The page (physical page 63, the last of block 0) holds a header and entries, then an end
// mark; entries are appended over the page without an erase. What vouches for it:
// - spare byte 1 cleared: the page was programmed with its ECC bytes after block 0's erase;
// - spare byte 2 cleared: an entry was appended since, so the ECC bytes no longer fit;
// - spare bytes 4 to 39: six slots of a CRC-32 each, filled by the first six appends (byte 3
//   cleared once they are used up);
// - the top 1280 bytes of the data area: a CRC-32 of every program of the table since block
//   0's erase, in 5-byte slots from the end of the page downward.
// Tables written by the earlier driver carry none of these and are taken as read.
#pragma once

#include "ce/types.h"

/// One relocation: the logical block that went bad (0: retired, maps nothing) and the
/// physical block of the reserve that replaces it.
struct RelocationEntry {
  WORD BadBlock;
  WORD Replacement;
};
/// The physical page that holds the relocation table: the last page of block 0. Logical pages
/// from it on are one page further on, and the logical page a block after it is never stored.
const DWORD kRelocationTablePage = 63;
const WORD kRelocationTableSignature = 0x524E;
const WORD kRelocationTableEnd = 0xFFFF;
/// Entry slots after the header in the 2048-byte table page.
const DWORD kRelocationSlots = 511;
/// Entries the table may hold: the slot after the last one must stay free for the end mark.
/// A page whose entries end below its check area (the top 1280 bytes of the data area, which
/// readers of the table never reach: they stop at the end mark) holds at most 189.
const DWORD kRelocationMaxEntries = kRelocationSlots - 1;
const DWORD kRelocationCheckedMaxEntries = 189;

/// The table page as it is kept in flash, little-endian.
struct RelocationTablePage {
  WORD Signature;
  WORD Unused;  // kept as read
  RelocationEntry Entries[kRelocationSlots];
};

const DWORD kRelocationSpareBytes = 64;
const DWORD kRelocationCheckBytes = 1280;

/// What a table page says of its own integrity, as last read: its spare bytes (raw) and its
/// check area (raw; all erased when the page has none).
struct RelocationTableChecks {
  BYTE Spare[kRelocationSpareBytes];
  BYTE Area[kRelocationCheckBytes];
  bool HasArea;
};

enum RelocationTableVerdict {
  kRelocationTableIntact,   // the page is the table as read
  kRelocationTableMended,   // bits read flipped were turned back by its check or its ECC
  kRelocationTableDamaged,  // it fails its check and nothing explains it: no map is built
  kRelocationTableNone      // no signature: not a table
};

/// The reserve at the top of a chip of `blocks` blocks, from which bad blocks are replaced.
DWORD RelocationReserveBlocks(DWORD blocks);

/// Whether the page's ECC bytes are its own (programmed with them after block 0's erase and
/// not appended to since): a reader then reads the page with ECC as well.
bool RelocationTableEccSpeaks(const BYTE* spare);

/// Reads a table page of a chip of `blocks` blocks. `raw` is its 2048 data bytes read with
/// ECC off, `spare` its 64 spare bytes read raw, and `ecc_read` the data bytes as read with
/// ECC on, or NULL when they were not read or the ECC could not mend them (read them when
/// RelocationTableEccSpeaks). `table` receives the table with anything past its end mark
/// and the check area erased; `checks` what vouches for it.
RelocationTableVerdict ReadRelocationTable(const BYTE* raw, const BYTE* spare, const BYTE* ecc_read,
                                           DWORD blocks, RelocationTablePage* table,
                                           RelocationTableChecks* checks);

/// Entries before the end mark, never looking past the page.
DWORD RelocationEntryCount(const RelocationTablePage* table);

/// The map the table implies for a chip of `blocks` blocks: every block to itself, then every
/// entry in order, so a later entry for a block wins. Entries that a damaged page could hold
/// (a bad block outside the logical space, a replacement outside the reserve) are passed over.
void RelocationMapFromTable(const RelocationTablePage* table, DWORD blocks, WORD* map);

/// Whether an append can leave a check of the table it writes. Without one, a bit read
/// flipped at the next start would be taken as the table.
bool RelocationAppendCheckable(const RelocationTableChecks* checks);

/// Spare bytes and data check of the next program of `table`: after block 0's erase
/// (`append` false) or over the page as an append. `spare` receives the 64 spare bytes to
/// program, and the check (when the page has a check area with a free slot) is placed in
/// `table`'s data area; the return is where, or NULL. Put the area back with
/// RelocationClearCheck once programmed.
BYTE* RelocationPrepareProgram(RelocationTablePage* table, const RelocationTableChecks* checks,
                               bool append, BYTE* spare);
void RelocationClearCheck(BYTE* check);

/// Spare byte cleared to mark an append before the appended table goes in (see the driver).
const DWORD kRelocationAppendMark = 2;
