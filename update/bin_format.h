// Where the records of a Windows CE BIN image may land in the flash: inside the blocks the
// update erases and inside the flash, never over a record before them, and on NAND only where
// the page cache can still program them (each page once, a block's pages in ascending order).
#pragma once

#include "ce/types.h"

/// Flash offset of an image whose start address the module does not translate itself: the
/// updater uses word 0 of configuration item 5 when the module answers it, else this.
const DWORD kDefaultImageBase = 0x80000;

/// How the updater places an image by its start address.
enum ImageTranslation {
  kTranslateNone = 0,     // the addresses are flash offsets already
  kTranslateToFlashZero,  // start in 0xBCA00000..0xBFFFFFFE: the image's start lands at 0
  kTranslateToImageBase   // start in 0x80000000..0x9C9FFFFF or 0xA0000000..0xBC9FFFFF: lands at
                          // the image base
};

ImageTranslation TranslationFor(DWORD start);

/// Added (mod 2^32) to the start and to every record address of an image starting at `start`
/// to give flash offsets, with `image_base` the flash offset of a kernel-address image.
DWORD ImageOffsetFor(DWORD start, DWORD image_base);

/// What the check of one record's place found.
enum RecordPlace {
  kRecordPlaceOk = 0,
  kRecordOutsideErase,  // outside the blocks the update erases, or past the end of the flash
  kRecordOverlaps,      // shares a byte with a record before it
  kRecordPageTaken,     // NAND: on a page already programmed, or below one in the same block
  kRecordNoMemory       // the memory to follow the records cannot be had
};

/// The flash range an update of the image [image_start, image_start + image_length) erases,
/// offsets after translation. With the NAND driver, an image that starts in the boot area
/// takes the whole area: it is erased whole (both its blocks) and written back from RAM. 1 in
/// that case, else 0. Needs the flash driver selected.
int ImageEraseRange(DWORD image_start, DWORD image_length, DWORD* erase_start, DWORD* erase_length);

/// The blocks an update of the image [image_start, image_start + image_length) erases,
/// [*from, *to): ImageEraseRange, rounded out to the blocks it touches. An empty image erases
/// nothing (*from == *to). Needs the flash driver selected.
void ImageEraseBlocks(DWORD image_start, DWORD image_length, ULONGLONG* from, ULONGLONG* to);

/// Starts a pass over an image's records, in file order, for an update that erases
/// [erase_start, erase_start + erase_length): a record may land in any block that range
/// touches. Needs the flash driver selected. 0 when the NAND page record cannot be had.
int BeginRecordPlaces(DWORD erase_start, DWORD erase_length);

/// Checks the next record: `length` bytes at flash offset `offset`. With `spans` set it must
/// not share a byte with any record before it in this pass (the whole-file check); without,
/// only its place and its pages are checked (a record checked in an earlier pass already).
RecordPlace CheckRecordPlace(DWORD offset, DWORD length, int spans);

/// Frees what the passes allocated.
void EndRecordPlaces();
