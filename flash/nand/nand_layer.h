// What the two halves of the NAND bad-block layer share: the logical map and its I/O
// (nand_flash.cpp) and relocation with the table page (nand_relocation.cpp). Nothing else
// includes it.
#pragma once

#include "ce/types.h"

namespace NandLayer {

// Every known chip has 2048-byte pages and 64 pages a block; the layout around the table
// page and the one-page buffers rely on it.
const DWORD kPageBytes = 2048;
const DWORD kPagesPerBlock = 64;
const DWORD kMaxSpareBytes = 64;
// Spare byte 0 is where the maker marks a bad block (in its first pages); it never holds
// anything of ours outside the table page.
const DWORD kBadBlockMarkByte = 0;

/// Pages a block as a shift: logical page >> BlockShift is its logical block.
extern DWORD BlockShift;
/// Set by LoadTablePage when the table it read fails its check and nothing explains it.
extern bool TableDamaged;

/// Whether the shared map can be used: filled, or held by a relocation under way.
bool MapFilled();
DWORD LogicalBlockCount();
bool InReserve(DWORD block);

/// Whether `count` bytes (a multiple of 4) are all 0xFF.
bool AllErased(const BYTE* bytes, DWORD count);
/// Whether a page read raw (its data, then all its spare bytes) holds no data.
bool HoldsNoData(const BYTE* page, const BYTE* spare);
/// Reads a physical page raw, with every spare byte, into `page` (one page and 64 bytes,
/// word-aligned). 1 when it holds no data, 0 when it holds some, -1 when it cannot be read.
int ReadRawHoldsNoData(BYTE* page, DWORD physical);

/// Whether the table just read into the table buffer is the one the map was built from.
bool TableMatchesMap();
/// After a program of the table page that failed: the map follows what the page now says.
void FollowTablePage();

}  // namespace NandLayer
