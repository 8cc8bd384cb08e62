// The data flash controller of the PXA3xx, driven from user mode: its registers mapped from
// physical 0x43100000, set up for the NAND chip found by its ID, and page-level commands
// (program a page, read a page, erase a block, read the ID, reset the chip) by programmed
// I/O through the data buffer. Every wait is a bounded poll of the status register; the
// controller's interrupts stay masked. Page numbers are absolute row addresses across both
// chip selects. The bad-block layer above is the only user.
#pragma once

#include "ce/types.h"

/// Result of a page, block or attach operation.
typedef DWORD NandResult;

const NandResult kNandDone = 0;
/// A status poll ran out: the controller never showed the bit it was waited for.
const NandResult kNandTimeout = 1;
/// DBERR: the data read has an error that ECC could not correct.
const NandResult kNandUncorrectable = 2;
/// CS0_BBD or CS1_BBD: the chip reported a failed program or erase.
const NandResult kNandProgramEraseFailed = 4;
/// SBERR: a single-bit error was corrected; the data is good.
const NandResult kNandCorrected = 8;
/// Attach found a chip ID that is not in the table.
const NandResult kNandUnknownChip = 16;
/// The controller's registers are not mapped: MapPhysicalWindow failed at attach, or no
/// attach has succeeded since. Nothing was sent to the controller. The value is the
/// time-out's, as callers of this interface have always seen it: named apart so that the
/// code says which it means.
const NandResult kNandNotMapped = kNandTimeout;
/// A page transfer given neither a data nor a spare buffer: refused, nothing sent. The
/// time-out's value too.
const NandResult kNandNoBuffer = kNandTimeout;

const DWORD kNandControllerPhysical = 0x43100000;

// Register offsets from the controller base.
const DWORD kNdcr = 0x00;
const DWORD kNdtr0 = 0x04;
const DWORD kNdtr1 = 0x0C;
const DWORD kNdsr = 0x14;
const DWORD kNddb = 0x40;
const DWORD kNdcb0 = 0x48;

// NDSR bits.
const DWORD kNdsrWrCmdReq = 0x001;
const DWORD kNdsrRdDReq = 0x002;
const DWORD kNdsrWrDReq = 0x004;
const DWORD kNdsrSbErr = 0x008;
const DWORD kNdsrDbErr = 0x010;
const DWORD kNdsrCs1Bbd = 0x020;
const DWORD kNdsrCs0Bbd = 0x040;
const DWORD kNdsrCs1CmdD = 0x080;
const DWORD kNdsrCs0CmdD = 0x100;
const DWORD kNdsrRdy = 0x800;
/// Written to NDSR before each command: clears every status bit.
const DWORD kNdsrClearAll = 0xFFF;
/// DBERR, both BBD bits and both CMDD bits: the end of a program, read or erase.
const DWORD kNdsrCommandEnd = 0x1F0;

// NDCR bits.
const DWORD kNdcrSpareEn = 0x80000000;
const DWORD kNdcrEccEn = 0x40000000;
const DWORD kNdcrRun = 0x10000000;
const DWORD kNdcrIntMasks = 0x00000FFF;
/// The control bits kept for the ID read on part number 9: the chip is then read like a
/// 512-byte page, without spare area or ECC.
const DWORD kNdcrReadIdMaskPart9 = 0x0087DFFF;

// Command word (first NDCB0 write) fields.
const DWORD kNdcb0DoubleCommand = 0x00080000;  // DBC
const DWORD kNdcb0TypeShift = 21;
const DWORD kNdcb0AddressCyclesShift = 16;
const DWORD kNdcb0ChipSelect1 = 0x01000000;  // CSEL
const DWORD kNdcb0AutoStatus = 0x02000000;   // AUTO_RS
const DWORD kNdcb0TypeRead = 0;
const DWORD kNdcb0TypeProgram = 1;
const DWORD kNdcb0TypeErase = 2;
const DWORD kNdcb0TypeReadId = 3;
const DWORD kNdcb0TypeReset = 5;

/// Status reads of one poll before it reports a time-out. At some 100 ns a read (an uncached
/// read of the controller; the virtual module charges 100 ns a bus access) the poll covers
/// about 140 ms: seventy times the longest the chips keep it waiting, a block erase (tBERS,
/// 2 ms at most in their datasheets; a page program takes at most 700 us, a reset that stops
/// an erase 500 us). A time-out is a chip or controller that has stopped, not a slow one.
const DWORD kNandPollReads = 1400002;

/// One NAND chip, or the neutral probe setting at index 0: timings in ns, control words in
/// their NDCR bit positions, address cycles, command words (first byte in bits 0-7, second
/// in bits 8-15) and the number of blocks.
struct NandChipRecord {
  DWORD tCH;
  DWORD tCS;
  DWORD tWH;
  DWORD tWP;
  DWORD tRH;
  DWORD tRP;
  DWORD tR;
  DWORD tWHR;
  DWORD tAR;
  DWORD ChipSelectWord;  // NCSX
  DWORD RowStartWord;    // RA_START
  DWORD PageSizeWord;    // PAGE_SZ: non-zero 2048-byte pages, zero 512
  DWORD IdCountWord;     // RD_ID_CNT
  DWORD BlockSizeWord;   // PG_PER_BLK: non-zero 64 pages a block, zero 32
  DWORD AddressCycles;   // read and program
  DWORD EraseAddressCycles;
  DWORD ExtraWord;
  DWORD ReadCommand;
  DWORD SecondReadCommand;  // not issued
  DWORD ReadIdCommand;
  DWORD ResetCommand;
  DWORD ProgramCommand;
  DWORD CopyProgramCommand;  // not issued
  DWORD EraseCommand;
  DWORD StatusCommand;  // not issued
  DWORD BlockCount;
};

/// How the controller is wired for a chip: six more control words, then the first page on
/// the second chip select (0xFFFFFFFF: none).
struct NandLayoutRecord {
  DWORD FirstWord;
  DWORD EccWord;
  DWORD SpareWord;
  DWORD FourthWord;
  DWORD DataWidthWord;  // DWIDTH_C
  DWORD ArbiterWord;    // ND_ARB_EN
  DWORD SecondChipFirstPage;
};

const DWORD kNandChipCount = 6;  // the probe and five chips
extern const NandChipRecord NandChips[kNandChipCount];
extern const NandLayoutRecord NandLayouts[kNandChipCount];

/// The driver's process-wide state, one controller.
struct NandControllerState {
  BYTE* Registers;  // null until attached
  DWORD ChipIndex;  // 0 during the probe
  /// The NDCR value every command starts from (ND_RUN is added when it is started).
  DWORD ControlWord;
  /// Written back into NDCR after each operation of the bad-block layer.
  DWORD SavedControlWord;
  DWORD ControllerClock;  // MHz
  DWORD PartNumber;
  int EccFlag;
  int SpareFlag;
  DWORD PageBytes;
  DWORD PagesPerBlock;
  DWORD BlockBytes;
  DWORD BlockCount;
};
extern NandControllerState NandState;

/// Clock cycles for a time of `ns` at `clock_mhz`: whole clock periods rounded up, minus one;
/// 0 below 2 ns; at most `limit`.
DWORD NandTimingCycles(DWORD ns, DWORD clock_mhz, DWORD limit);
/// The NDTR0 and NDTR1 values for `chip` at `clock_mhz`.
void NandTimingRegisters(const NandChipRecord& chip, DWORD clock_mhz, DWORD* ndtr0, DWORD* ndtr1);
/// The control word of a chip index: its control words, the layout's and the interrupt masks.
DWORD NandComposeControlWord(DWORD chip_index);
/// The chip index of an ID word (only its low 16 bits count); 0 when it is not known.
DWORD NandChipForId(DWORD id);

/// Maps the registers, sets the controller up (`first_time` non-zero) or takes over its
/// control word, identifies the chip and fills in the geometry. kNandDone, kNandNotMapped,
/// kNandTimeout (the ID never came) or kNandUnknownChip.
NandResult NandAttach(int first_time);
/// The first 32-bit word of the chip's ID into `out`. kNandDone, kNandTimeout or
/// kNandNotMapped.
NandResult NandReadId(DWORD* out);
/// Resets the chip. kNandDone, kNandTimeout or kNandNotMapped.
NandResult NandReset();
/// Programs `page` from `data` (a full page, or null for 0xFF) and `spare` (`spare_length`
/// bytes, or null for 0xFF). kNandNoBuffer without sending anything when both are null.
NandResult NandProgramPage(const void* data, const void* spare, DWORD spare_length, DWORD page);
/// Reads `page` into `data` (or drops it) and `spare_length` spare bytes into `spare` (or
/// drops them); kNandNoBuffer without sending anything when both are null. After a corrected
/// or uncorrectable error, page 0 is read once more: kNandTimeout when that read does not end
/// as a read ends, the first result otherwise.
NandResult NandReadPage(void* data, void* spare, DWORD spare_length, DWORD page);
/// Erases the block that holds `page`. kNandNotMapped before a successful attach.
NandResult NandEraseBlock(DWORD page);
/// Switches hardware ECC in the control word; returns the previous setting.
int NandSetEcc(int enable);
/// Switches the spare-area transfer in the control word; returns the previous setting.
int NandSetSpare(int enable);
/// Spare bytes a page transfer carries: 0 with the spare area off, else 40 with ECC, 64 without.
DWORD NandSpareBytes();
DWORD NandPageBytes();
/// The block size; `offset` is not looked at (all blocks are the same size).
DWORD NandBlockBytes(DWORD offset);
DWORD NandPagesPerBlock();
DWORD NandBlockCount();
/// Writes the saved control word back into NDCR.
void NandRestoreControl();

DWORD NandChipIndex();
DWORD NandControlWord();
DWORD NandSavedControlWord();

/// Polls NDSR until it has a bit of `mask`, at most kNandPollReads reads. 1 when seen, 0 on
/// time-out.
int NandWaitStatus(DWORD mask);
/// Ends a program, read or erase: waits for RDY, then for the end of the command, and
/// returns the status in order of precedence (4, 2, 8, 0); 1 on time-out.
NandResult NandFinish();
