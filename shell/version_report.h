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

/// A Windows CE boot image: the signature word at image offset 0x40, then the address at
/// which the image sees its ROM header and the header's offset from the image start; the
/// 84-byte ROM header, then the first 32-byte module entry (its file time in bytes 4-11).
const DWORD RomSignature = 0x43454345;  // "ECEC"
const DWORD RomSignatureOffset = 0x40;
const DWORD RomHeaderBytes = 84;
const DWORD ModuleEntryBytes = 32;
/// The other header a boot image may start with: "COMP", the image's size as third word.
const DWORD CompSignature = 0x504D4F43;
/// Bytes from the flash's start in which the bootloader's version record is looked for.
const DWORD VersionRecordScanBytes = 0x40000;

/// Reads `count` bytes at flash `offset` into `destination`: 1 success, 0 failure. The
/// functions below read the flash through one, so that a platform's boot code that reads
/// the flash its own way recognises images exactly as the report does.
typedef int (*FlashReadFn)(void* context, void* destination, DWORD offset, DWORD count);

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
/// The same through `read`.
int ReadRomHeaderWith(FlashReadFn read, void* context, DWORD image_offset, BYTE* rom_header,
                      DWORD* rom_offset);
DWORD ImageSizeWith(FlashReadFn read, void* context, DWORD image_offset);
/// The first complete version record in [`from`, `from` + `length`), read in 4 KB pieces from
/// `from`; a piece that does not read is passed over. Non-zero when found.
int FindVersionRecordWith(FlashReadFn read, void* context, DWORD from, DWORD length,
                          VersionInfo* info);
/// The build time of the image whose ROM header is at flash `rom_offset`: the file time of
/// its first module entry. Non-zero when it reads.
int ReadImageBuildTime(FlashReadFn read, void* context, DWORD rom_offset, FILETIME* built);
/// 1 to 12 for "Jan" to "Dec" (case-sensitive, whole strings), else 0.
int MonthFromName(const char* name);
/// "07 Mar 2009 00:00:00 (GMT)", or "Unknown Date" for a time that is not a date.
void FormatBuildTime(const SYSTEMTIME* time, WCHAR* text);
