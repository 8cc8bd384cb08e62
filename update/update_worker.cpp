#include "update/update_worker.h"

#include <string.h>

#include "ce/files.h"
#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "platform/platform_codes.h"
#include "platform/reboot.h"
#include "shell/program_state.h"
#include "update/bin_format.h"
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
const DWORD kEraseProgressInterval = 0x10000;
const int kTextChars = 1024;

BYTE ChunkBuffer[kChunkBytes];

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

// The text that tells the user why a record cannot be written.
const WCHAR* RecordPlaceText(RecordPlace place) {
  if (place == kRecordPlaceOk) return NULL;
  return place == kRecordOutsideErase ? kOutsideText : kOverlapText;
}

// Reads the whole image file from just after its header to the end record: every record cut
// short, with a wrong checksum, or in a place it cannot be written is found before anything
// is erased, for an update that erases [erase_start, erase_start + erase_length). Leaves the
// file at its first record, the record places ready for the write pass. 1 when the file may
// be written.
int CheckImageFile(HWND dialog, HANDLE file, DWORD erase_start, DWORD erase_length) {
  if (!BeginRecordPlaces(erase_start, erase_length)) {
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
    const WCHAR* problem = RecordPlaceText(CheckRecordPlace(record[0] + ImageOffset, record[1], 1));
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
  if (!BeginRecordPlaces(erase_start, erase_length)) {
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
    if (const WCHAR* problem = RecordPlaceText(CheckRecordPlace(offset, remaining, 0))) {
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
  if (TranslationFor(start) == kTranslateToImageBase) {
    DWORD layout[kConfigItemLayoutSize / 4];
    if (GetConfigItem(kConfigItemLayout, layout, sizeof layout)) base = layout[0];
  }
  ImageOffset = ImageOffsetFor(start, base);
  ImageStart = start + ImageOffset;
  ImageLength = header[1];

  DWORD erase_start = 0;
  DWORD erase_length = 0;
  const int boot_area = ImageEraseRange(ImageStart, ImageLength, &erase_start, &erase_length);

  if (!CheckImageFile(dialog, file, erase_start, erase_length)) return 0;
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

  EndRecordPlaces();
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
