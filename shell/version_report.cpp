#include "shell/version_report.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/wide_text.h"
#include "flash/flash_ops.h"
#include "platform/platform_codes.h"

namespace {

const DWORD kRecordPiece = 4096;
const DWORD kBannerWindow = 0x8000;
const DWORD kBannerWindowBytes = 0x20000;
const DWORD kSecondImageOffset = 0x8000;
const DWORD kProductId = 1;
const int kFormatChars = 1024;  // what one wsprintfW may write

const char kBanner[] = "Microsoft Windows CE Ethernet Bootloader ";
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The program's own reads go through the flash driver.
int ReadFlashOps(void*, void* destination, DWORD offset, DWORD count) {
  return FlashOps.ReadBuffer(destination, offset, count);
}

DWORD WordAt(const BYTE* bytes, DWORD offset) {
  DWORD word;
  memcpy(&word, bytes + offset, 4);
  return word;
}

// Formats one line group of the report and appends it, cut cleanly at the report's size.
void AppendPart(WCHAR* report, const WCHAR* format, const VersionInfo& info,
                const WCHAR* build_time) {
  WCHAR beta[32] = {};
  WORD build = static_cast<WORD>(info.MinorBuild >> 16);
  if (build) wsprintfW(beta, TEXT("BETA, Build %d"), build);
  WCHAR part[kFormatChars];
  wsprintfW(part, format, info.Id == kProductId ? TEXT("OSTRALA") : TEXT("UNKNOWN"), info.Major,
            static_cast<int>(info.MinorBuild & 0xFFFF), beta, build_time);
  StringCchCatW(report, kReportChars, part);
}

}  // namespace

int MonthFromName(const char* name) {
  for (int i = 0; i < 12; ++i) {
    if (strcmp(name, kMonths[i]) == 0) return i + 1;
  }
  return 0;
}

int FindVersionRecordWith(FlashReadFn read, void* context, DWORD from, DWORD length,
                          VersionInfo* info) {
  DWORD piece[kRecordPiece / 4];
  for (DWORD base = 0; base < length; base += kRecordPiece) {
    DWORD bytes = length - base < kRecordPiece ? length - base : kRecordPiece;
    // A piece that cannot be read holds nothing to look at.
    if (!read(context, piece, from + base, bytes)) continue;
    for (DWORD i = 0; i < bytes / 4; ++i) {
      if (piece[i] != VersionRecordStart) continue;
      // The record may run into the next piece: read it afresh from the flash.
      DWORD record[5];
      if (!read(context, record, from + base + 4 * i, sizeof record)) continue;
      if (record[4] != VersionRecordEnd) continue;
      info->Id = record[1];
      info->Major = static_cast<LONG>(record[2]);
      info->MinorBuild = record[3];
      return 1;
    }
  }
  return 0;
}

int FindVersionRecord(VersionInfo* info) {
  return FindVersionRecordWith(ReadFlashOps, NULL, 0, VersionRecordScanBytes, info);
}

char* FindBootloaderBanner() {
  char* window = static_cast<char*>(malloc(kBannerWindowBytes + 1));
  if (!window) return NULL;
  if (!FlashOps.ReadBuffer(window, kBannerWindow, kBannerWindowBytes)) {
    // Some page of the window does not read (on NAND an erased one does not, with ECC on):
    // read it a page at a time and search the pages that read. A page that does not read
    // holds zeros, which no banner crosses.
    DWORD page = FlashOps.PageSize ? FlashOps.PageSize() : 0;
    if (page == 0 || page > kBannerWindowBytes) page = kBannerWindowBytes;
    for (DWORD at = 0; at < kBannerWindowBytes; at += page) {
      DWORD piece = kBannerWindowBytes - at < page ? kBannerWindowBytes - at : page;
      if (!FlashOps.ReadBuffer(window + at, kBannerWindow + at, piece))
        memset(window + at, 0, piece);
    }
  }
  window[kBannerWindowBytes] = 0;
  const DWORD length = sizeof kBanner - 1;
  DWORD matched = 0;
  for (DWORD i = 0; i < kBannerWindowBytes; ++i) {
    if (window[i] == kBanner[matched]) {
      ++matched;
    } else {
      matched = window[i] == kBanner[0] ? 1 : 0;
    }
    if (matched == length) {
      // Hand back the text after the banner, terminated at the window's end.
      memmove(window, window + i + 1, kBannerWindowBytes - i);
      return window;
    }
  }
  free(window);
  return NULL;
}

int ReadRomHeaderWith(FlashReadFn read, void* context, DWORD image_offset, BYTE* rom_header,
                      DWORD* rom_offset) {
  DWORD head[3];
  if (!read(context, head, image_offset + RomSignatureOffset, sizeof head)) return 0;
  if (head[0] != RomSignature) return 0;
  DWORD header_offset = image_offset + head[2];
  if (!read(context, rom_header, header_offset, RomHeaderBytes)) return 0;
  if (rom_offset) *rom_offset = header_offset;
  return head[1] - head[2] == WordAt(rom_header, 8);
}

int ReadRomHeader(DWORD image_offset, BYTE* rom_header, DWORD* rom_offset) {
  return ReadRomHeaderWith(ReadFlashOps, NULL, image_offset, rom_header, rom_offset);
}

DWORD ImageSizeWith(FlashReadFn read, void* context, DWORD image_offset) {
  BYTE rom[RomHeaderBytes];
  if (ReadRomHeaderWith(read, context, image_offset, rom, NULL)) {
    return WordAt(rom, 12) - WordAt(rom, 8) + 4;
  }
  DWORD comp[5];
  if (!read(context, comp, image_offset, sizeof comp)) return 0;
  return comp[0] == CompSignature ? comp[2] : 0;
}

DWORD ImageSizeAt(DWORD image_offset) { return ImageSizeWith(ReadFlashOps, NULL, image_offset); }

int ReadImageBuildTime(FlashReadFn read, void* context, DWORD rom_offset, FILETIME* built) {
  BYTE entry[ModuleEntryBytes];
  if (!read(context, entry, rom_offset + RomHeaderBytes, sizeof entry)) return 0;
  memcpy(built, entry + 4, sizeof *built);
  return 1;
}

void FormatBuildTime(const SYSTEMTIME* time, WCHAR* text) {
  WCHAR date[64];
  WCHAR clock[64];
  int date_chars = GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, time, TEXT("dd MMM yyyy"), date, 64);
  int clock_chars = date_chars ? GetTimeFormatW(LOCALE_SYSTEM_DEFAULT,
                                                LOCALE_NOUSEROVERRIDE | TIME_FORCE24HOURFORMAT,
                                                time, NULL, clock, 64)
                               : 0;
  if (!date_chars || !clock_chars) {
    StringCchCopyW(text, kBuildTimeChars, TEXT("Unknown Date"));
    return;
  }
  StringCchCopyW(text, kBuildTimeChars, date);
  StringCchCatW(text, kBuildTimeChars, TEXT(" "));
  StringCchCatW(text, kBuildTimeChars, clock);
  StringCchCatW(text, kBuildTimeChars, TEXT(" (GMT)"));
}

void ReadBootloaderVersion(VersionInfo* info, WCHAR* build_time) {
  SYSTEMTIME time = {};
  if (FindVersionRecord(info)) {
    BYTE rom[RomHeaderBytes];
    DWORD rom_offset = 0;
    if (!ReadRomHeader(0, rom, &rom_offset) &&
        !ReadRomHeader(kSecondImageOffset, rom, &rom_offset)) {
      StringCchCopyW(build_time, kBuildTimeChars, TEXT("Unknown Date"));
      return;
    }
    FILETIME built;
    if (ReadImageBuildTime(ReadFlashOps, NULL, rom_offset, &built)) {
      FileTimeToSystemTime(&built, &time);
    }
  } else if (char* text = FindBootloaderBanner()) {
    info->Id = kProductId;
    int major = info->Major;
    int minor = static_cast<int>(info->MinorBuild);
    int day = 0;
    int year = 0;
    char month[16] = {};
    sscanf(text, "%d.%d for Kelvane Ostrala Built %15s %d %d", &major, &minor, month, &day, &year);
    free(text);
    info->Major = major;
    info->MinorBuild = static_cast<DWORD>(minor);
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(MonthFromName(month));
    time.wDay = static_cast<WORD>(day);
  }
  FormatBuildTime(&time, build_time);
}

void ReadImageVersion(VersionInfo* info, WCHAR* build_time) {
  // Start clean, so that a platform that does not answer shows no borrowed words.
  memset(info, 0, sizeof *info);
  KernelIoControl(kIoctlImageVersion, NULL, 0, info, 0, NULL);
  SYSTEMTIME time = {};
  HANDLE file =
      CreateFileW(TEXT("\\windows\\default.fdf"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    FILETIME created;
    if (GetFileTime(file, &created, NULL, NULL)) FileTimeToSystemTime(&created, &time);
    CloseHandle(file);
  }
  FormatBuildTime(&time, build_time);
}

void ShowVersionReport(HWND owner) {
  HANDLE mutex = CreateMutexW(NULL, FALSE, TEXT("OnModuleFlash"));
  WaitForSingleObject(mutex, INFINITE);

  WCHAR report[kReportChars] = {};
  WCHAR build_time[kBuildTimeChars];
  VersionInfo info = {};
  if (SelectFlashDriver()) {
    ReadBootloaderVersion(&info, build_time);
  } else {
    // No flash to read: the bootloader is unknown.
    SYSTEMTIME none = {};
    FormatBuildTime(&none, build_time);
  }
  AppendPart(report, TEXT("Bootloader (in Flash)\r\nID:\t%s\r\nVer:\t%d.%d %s\r\nBuilt:\t%s"), info,
             build_time);
  ReadImageVersion(&info, build_time);
  AppendPart(report,
             TEXT("\r\n\r\nImage (current running)\r\nID:\t%s\r\nVer:\t%d.%d %s\r\nBuilt:\t%s"),
             info, build_time);

  ReleaseMutex(mutex);
  CloseHandle(mutex);
  MessageBoxW(owner, report, TEXT("BSP Version"), MB_OK);
}
