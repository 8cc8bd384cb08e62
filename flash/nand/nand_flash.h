// The NAND driver's entry points for the flash operations table: the logical flash of the
// PXA3xx data flash controller behind the bad-block map. Logical blocks map to physical
// blocks through BadBlockMap (named shared memory, seen by every process); blocks that fail
// to erase or program are replaced from a reserve at the top of the chip, and each
// replacement is recorded in RelocationTable, kept in the table page (physical page 63).
#pragma once

#include "ce/types.h"
#include "flash/nand/nand_controller.h"
#include "flash/nand/relocation_table.h"

/// The shared block map, "NAND_FLASH_BBMT": filled when `Signature` is kBadBlockMapSignature;
/// entry k is the physical block that holds logical block k.
struct BadBlockMapView {
  DWORD Signature;
  WORD Entries[8192];
};
const DWORD kBadBlockMapSignature = 0x544D4242;  // "BBMT"
const DWORD kBadBlockMapBytes = 16388;

/// The view of the shared map; null until the first NandInit has mapped it.
extern BadBlockMapView* BadBlockMap;
/// The table buffer: the table page while it is read, changed or written back.
extern RelocationTablePage RelocationTable;
/// True while an outermost relocation holds the table in RelocationTable.
extern bool RelocationInProgress;

/// Maps the shared block map, attaches the controller and, when the map is not filled yet,
/// fills it from the table page. Sets FlashOps.FlashSize and FlashOps.DeviceType. 1/0.
int NandInit();
/// Erases every logical block the range touches, with the erase progress of flash_ops.h.
/// 0 when the range reaches past FlashSize, the callback stops it, or a block fails.
int NandEraseRange(DWORD offset, DWORD length);
/// Reads `count` logical bytes; 0 when the range reaches past FlashSize or a read fails.
/// Logical page 127 is never read: its bytes come back as 0xFF, as those of an erased page do
/// (one the ECC cannot read that holds no data, but for a bit a 512-byte step).
int NandReadBuffer(void* destination, DWORD offset, DWORD count);
/// The 32-bit word at `offset`; 0 when the read fails.
DWORD NandReadWord(DWORD offset);
/// Programs the 4 bytes of `value` at `offset`.
int NandWriteWord(DWORD offset, DWORD value);
/// Programs `count` logical bytes into erased flash, relocating a block whose program fails.
/// On processor part number 9 the word that lands at offset 4 is 0x54494D48 ("HMIT"), which
/// is also stored in the caller's buffer. 0 when the range reaches past FlashSize or fails.
int NandWriteBuffer(const void* source, DWORD offset, DWORD count);

/// Erases the logical block of logical `page`; a block 0 erase keeps the table page.
int EraseMappedBlock(DWORD page);
/// The free reserve block for a new relocation of logical `block`, over RelocationTable:
/// earlier relocations of the block are retired. 0 when the reserve is used up or the table
/// is full; otherwise 1 with the block in `*replacement` and the new entry's index in `*index`.
int FindReplacement(DWORD block, DWORD* replacement, DWORD* index);
/// Moves the logical block of `page` to a replacement, copying the pages that hold data when
/// `copy` is non-zero (except the page that failed, whose old spare bytes are kept); the
/// maker's bad-block mark is never copied, and a page that does not read whole fails the move.
/// Returns the physical block that holds the logical block now, or 0 when it could not be
/// relocated.
DWORD RelocateBlock(DWORD page, int copy);
/// Reads the table page into RelocationTable: with ECC off, and with ECC as well when its
/// spare bytes say its ECC bytes are its own; the table is held to the page's newest check.
/// The buffer holds everything past the end mark erased.
void LoadTablePage();
/// Programs RelocationTable into the freshly erased table page, with its ECC bytes and the
/// first check of its check area.
NandResult StoreTablePage();
/// The physical page of logical `page`, or kNoPhysicalPage for logical page 127.
DWORD NandPhysicalPage(DWORD page);
const DWORD kNoPhysicalPage = 0xFFFFFFFF;
