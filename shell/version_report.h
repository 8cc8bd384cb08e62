// The "BSP Version" report: the bootloader stored in flash and the running image, and how a
// boot image in flash is recognised by its ROM header and sized.
#pragma once

#include "ce/types.h"
#include "ce/ui.h"

/// id 1 is a module of the product family ("OSTRALA"); major is signed; the third word holds
/// the minor version in bits 0-15 and a beta build number in bits 16-31 (0 for a release).
struct VersionInfo {
  DWORD Id;
  LONG Major;
  DWORD MinorBuild;
};

const DWORD VersionRecordStart = 0x01234567;
const DWORD VersionRecordEnd = 0x89ABCDEF;

/// Characters of the report's texts, terminators included.
const int kReportChars = 256;
const int kBuildTimeChars = 128;

void ShowVersionReport(HWND owner);
/// Fills from the bootloader in flash; words no source supplies stay as they were.
void ReadBootloaderVersion(VersionInfo* info, WCHAR* build_time);
/// Fills from the platform layer and the running image's "\windows\default.fdf".
void ReadImageVersion(VersionInfo* info, WCHAR* build_time);
/// The first complete version record in the first 256 KB of flash; non-zero when found.
int FindVersionRecord(VersionInfo* info);
/// The text after the bootloader banner in the 128 KB from 0x8000, zero-terminated, in a
/// buffer the caller frees with free(); null when there is no banner.
char* FindBootloaderBanner();
/// Non-zero when the image at `image_offset` has a valid ROM header. `rom_header` receives
/// its 84 bytes and `rom_offset` (may be null) its flash offset once the signature matched.
int ReadRomHeader(DWORD image_offset, BYTE* rom_header, DWORD* rom_offset);
/// Size of the boot image at `image_offset` (ROM header or "COMP" header), 0 when none.
DWORD ImageSizeAt(DWORD image_offset);
/// 1 to 12 for "Jan" to "Dec" (case-sensitive, whole strings), else 0.
int MonthFromName(const char* name);
/// "07 Mar 2009 00:00:00 (GMT)", or "Unknown Date" for a time that is not a date.
void FormatBuildTime(const SYSTEMTIME* time, WCHAR* text);
