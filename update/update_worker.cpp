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

HWND UpdateDialogWindow = nullptr;
DWORD ImageOffset = 0;
DWORD ImageStart = 0;
DWORD ImageLength = 0;
BYTE BootAreaImage[kBootAreaBytes];
int BootAreaUsed = 0;

namespace {

const BYTE kBinSignature[7] = {'B', '0', '0', '0', 'F', 'F', '\n'};
constexpr DWORD kDefaultImageBase = 0x80000;
constexpr DWORD kEraseProgressInterval = 0x10000;
constexpr int kTextChars = 1024;

BYTE ChunkBuffer[kChunkBytes];
BYTE SavedConfig[kConfigItemSavedSize];
int SavedConfigAnswered = 0;

void ShowError(HWND dialog, const WCHAR* text, const WCHAR* caption = u"ERROR") {
  MessageBoxW(dialog, text, caption, MB_OK);
}

// Reads exactly `count` bytes; false when fewer arrive.
bool ReadExactly(HANDLE file, void* buffer, DWORD count) {
  DWORD got = 0;
  return ReadFile(file, buffer, count, &got, nullptr) && got == count;
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

// Writes the boot area collected in RAM, block by block, and reads it back.
int WriteBootArea(HWND dialog) {
  DWORD unit = FlashOps.BlockSize(0);
  if (unit == 0) {
    ShowError(dialog, u"Error writing to Flash!");
    return 0;
  }
  for (DWORD at = 0; at < kBootAreaWritten;) {
    DWORD piece = kBootAreaWritten - at < unit ? kBootAreaWritten - at : unit;
    if (!FlashOps.WriteBuffer(BootAreaImage + at, at, piece)) {
      ShowError(dialog, u"Error writing to Flash!");
      return 0;
    }
    at += piece;
  }
  BYTE* check = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, unit));
  if (!check) {
    ShowError(dialog, u"Error reading Flash!");
    return 0;
  }
  int ok = 1;
  for (DWORD at = 0; at < kBootAreaWritten && ok;) {
    DWORD piece = kBootAreaWritten - at < unit ? kBootAreaWritten - at : unit;
    if (!FlashOps.ReadBuffer(check, at, piece)) {
      ShowError(dialog, u"Error reading Flash!");
      ok = 0;
    } else if (memcmp(check, BootAreaImage + at, piece) != 0) {
      ShowError(dialog, u"Error veryfing Flash!");
      ok = 0;
    }
    at += piece;
  }
  LocalFree(check);
  return ok;
}

// The records of an opened image file, from the signature to the boot area. 1 on success.
int WriteImage(HWND dialog, HANDLE file) {
  WCHAR text[kTextChars];
  BYTE signature[sizeof kBinSignature];
  if (!ReadExactly(file, signature, sizeof signature) ||
      memcmp(signature, kBinSignature, sizeof signature) != 0) {
    ShowError(dialog, u"Not a WinCE Binary Image file!", u"ERRER");
    return 0;
  }
  // A header cut short must not reach the erase with values that were never read.
  DWORD header[2];
  if (!ReadExactly(file, header, sizeof header)) {
    ShowError(dialog, u"Unexpected end of file!");
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

  if (!QuietFlag && !CheckImageRegions(-1, ImageStart, ImageLength, dialog)) return 0;

  wsprintfW(text, u"Image: %.8x  Len: %.8x(%d)", ImageStart, ImageLength, ImageLength);
  SetDlgItemTextW(dialog, kItemImageText, text);
  SetProgressCallback(EraseProgress, kEraseProgressInterval);
  DWORD erase_start = ImageStart;
  DWORD erase_length = ImageLength;
  if (FlashOps.DriverKind == kDriverNand && ImageStart < kBootAreaBytes) {
    // The boot area is written back whole at the end, 0xFF where the image has nothing, and
    // its two blocks are tied together: logical page 63 lives in physical block 1. Programming
    // over pages that were not erased spoils their ECC, so both blocks go.
    unsigned long long end = static_cast<unsigned long long>(ImageStart) + ImageLength;
    if (end < kBootAreaBytes) end = kBootAreaBytes;
    erase_start = 0;
    erase_length = end > 0xFFFFFFFFull ? 0xFFFFFFFF : static_cast<DWORD>(end);
  }
  if (!FlashOps.EraseRange(erase_start, erase_length) && !AbortFlag) {
    // A range that cannot be erased cannot take the records.
    ShowError(dialog, u"Error erasing Flash!");
    return 0;
  }
  SetBarRange(dialog, kItemImageBar, ImageLength);

  DWORD image_done = 0;
  while (!AbortFlag) {
    DWORD record[3];  // address, length, checksum
    if (!ReadExactly(file, record, sizeof record)) {
      ShowError(dialog, u"Unexpected end of file!");
      return 0;
    }
    if (record[0] == 0 && record[2] == 0) break;
    DWORD offset = record[0] + ImageOffset;
    DWORD remaining = record[1];
    wsprintfW(text, u"Section: %.8x  Len: %.8x(%d)", offset, record[1], record[1]);
    SetDlgItemTextW(dialog, kItemRecordText, text);
    SetBarRange(dialog, kItemRecordBar, record[1]);
    DWORD sum = 0;
    DWORD record_done = 0;
    while (remaining && !AbortFlag) {
      DWORD count = remaining < kChunkBytes ? remaining : kChunkBytes;
      if (!ReadExactly(file, ChunkBuffer, count)) {
        ShowError(dialog, u"Unexpected end of file!");
        return 0;
      }
      sum += ByteSum(ChunkBuffer, count);
      if (!WriteChunk(ChunkBuffer, offset, count)) {
        ShowError(dialog, u"Error writing to Flash!");
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
      ShowError(dialog,
                u"BAD CRC, Image File seems to be corrupt. Don't reboot Now! Try updating with "
                u"another file");
      return 0;
    }
  }

  if (BootAreaUsed && !WriteBootArea(dialog)) return 0;
  // An update stopped by the user is not complete.
  return AbortFlag ? 0 : 1;
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
  memset(BootAreaImage, 0xFF, sizeof BootAreaImage);
  UpdateDialogWindow = dialog;

  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
  WaitForSingleObject(mutex, INFINITE);
  SelectFlashDriver();
  SavedConfigAnswered = GetConfigItem(kConfigItemSaved, SavedConfig, sizeof SavedConfig) != 0;

  HANDLE file = CreateFileW(ImagePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    WCHAR text[kTextChars];
    wsprintfW(text, u"Cannot Open Image File %s", ImagePath);
    ShowError(dialog, text);
  } else {
    result = WriteImage(dialog, file);
  }

  CachedWrite(nullptr, 0, 0);
  // A configuration block just moved from its old place carries its own settings.
  if (SavedConfigAnswered && RegionTable[kRegionConfigBlock].Start != kConfigBlockOldPlace) {
    SetConfigItem(kConfigItemSaved, SavedConfig, sizeof SavedConfig);
  }
  if (result && !QuietFlag &&
      MessageBoxW(dialog, u"To finish the update reset the system.\n Reset now?", u"RESET",
                  MB_YESNO) == IDYES) {
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
