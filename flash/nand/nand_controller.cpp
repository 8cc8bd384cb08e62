#include "flash/nand/nand_controller.h"

#include <string.h>

#include "platform/kernel_call.h"
#include "platform/mmio.h"
#include "platform/physical_map.h"

// clang-format off
const NandChipRecord NandChips[kNandChipCount] = {
    // tCH tCS tWH tWP tRH tRP  tR     tWHR tAR  NCSX        RA_START    PAGE_SZ     RD_ID_CNT   PG_PER_BLK  cycles  extra  read    read2   readid  reset   program copy    erase   status  blocks
    {100, 100, 100, 100, 100, 100, 20000, 100, 100, 0,          0,          0,          0x00020000, 0,          0, 0,   0,     0,      0,      0x0090, 0x00FF, 0,      0,      0,      0x0070, 2048},
    {5,   20,  10,  12,  10,  22,  20120, 60,  10,  0x00800000, 0x00008000, 0x01000000, 0x00050000, 0x00004000, 5, 3,   0,     0x3000, 0x0000, 0x0090, 0x00FF, 0x1080, 0x1085, 0xD060, 0x0070, 8192},
    {5,   20,  10,  12,  10,  22,  25120, 60,  10,  0,          0x00008000, 0x01000000, 0x00050000, 0x00004000, 4, 2,   0,     0x3000, 0x0000, 0x0090, 0x00FF, 0x1080, 0x1085, 0xD060, 0x0070, 1024},
    {5,   20,  10,  12,  10,  22,  25120, 60,  10,  0,          0x00008000, 0x01000000, 0x00050000, 0x00004000, 5, 3,   0,     0x3000, 0x0000, 0x0090, 0x00FF, 0x1080, 0x1085, 0xD060, 0x0070, 2048},
    {5,   20,  10,  12,  10,  22,  25120, 60,  10,  0,          0x00008000, 0x01000000, 0x00050000, 0x00004000, 5, 3,   0,     0x3000, 0x0000, 0x0090, 0x00FF, 0x1080, 0x1085, 0xD060, 0x0070, 4096},
    {5,   25,  10,  15,  10,  25,  25120, 60,  15,  0,          0x00008000, 0x01000000, 0x00040000, 0x00004000, 5, 3,   0,     0x3000, 0x0000, 0x0090, 0x00FF, 0x1080, 0x1085, 0xD060, 0x0070, 8192},
};

const NandLayoutRecord NandLayouts[kNandChipCount] = {
    // first ECC spare fourth DWIDTH_C    ND_ARB_EN   second chip select from
    {0,     0,  0,    0,     0x08000000, 0x00001000, 0xFFFFFFFF},
    {0,     0,  0,    0,     0,          0x00001000, 0xFFFFFFFF},
    {0,     0,  0,    0,     0,          0x00001000, 0xFFFFFFFF},
    {0,     0,  0,    0,     0,          0x00001000, 0xFFFFFFFF},
    {0,     0,  0,    0,     0,          0x00001000, 0xFFFFFFFF},
    {0,     0,  0,    0,     0,          0x00001000, 0x00040000},
};
// clang-format on

NandControllerState NandState = {NULL, 0, 0, 0, 104, 0, 0, 0, 0, 0, 0, 0};

namespace {

const DWORD kMaxShortTiming = 7;  // tCH, tCS, tWH, tWP, tRH, tRP
const DWORD kMaxReadTiming = 65535;
const DWORD kMaxTurnaroundTiming = 15;  // tWHR, tAR

const DWORD kPartNumber156Mhz = 8;
const DWORD kPartNumber312Mhz = 9;
const DWORD kDefaultClockMhz = 104;

// Bytes the ID read moves after the first word: the ID count of the control word, or on part
// number 9, where the ID is read like a 512-byte page, the rest of that page.
const DWORD kIdTrailingBytes = 4;
const DWORD kIdTrailingBytesPart9 = 508;

const DWORD kSpareBytesEcc = 40;
const DWORD kSpareBytesRaw = 64;

const NandChipRecord& Chip() { return NandChips[NandState.ChipIndex]; }
const NandLayoutRecord& Layout() { return NandLayouts[NandState.ChipIndex]; }

DWORD ReadRegister(DWORD offset) { return MmioRead32(NandState.Registers + offset); }
void WriteRegister(DWORD offset, DWORD value) { MmioWrite32(NandState.Registers + offset, value); }

void ProgramTimings() {
  DWORD ndtr0;
  DWORD ndtr1;
  NandTimingRegisters(Chip(), NandState.ControllerClock, &ndtr0, &ndtr1);
  WriteRegister(kNdtr0, ndtr0);
  WriteRegister(kNdtr1, ndtr1);
}

void WriteControlWord() {
  NandState.ControlWord = NandComposeControlWord(NandState.ChipIndex);
  NandState.SavedControlWord = NandState.ControlWord;
  WriteRegister(kNdcr, NandState.ControlWord);
}

DWORD CommandWord(DWORD command, DWORD type, DWORD address_cycles) {
  DWORD word = command | type << kNdcb0TypeShift | address_cycles << kNdcb0AddressCyclesShift;
  if ((command >> 8) & 0xFF) word |= kNdcb0DoubleCommand;
  return word;
}

DWORD ReadCommandWord() {
  return CommandWord(Chip().ReadCommand, kNdcb0TypeRead, Chip().AddressCycles);
}

// Splits an absolute page number into the chip select (CSEL in `command`) and the row on it.
DWORD RowOnChip(DWORD page, DWORD* command) {
  DWORD second = Layout().SecondChipFirstPage;
  if (page >= second) {
    *command |= kNdcb0ChipSelect1;
    return page - second;
  }
  return page;
}

// Clears the status, starts the controller with `control` and hands it the command and its
// two address words once it asks for them. 0 when the controller never asked.
int StartCommand(DWORD control, DWORD command, DWORD address1, DWORD address2) {
  WriteRegister(kNdsr, kNdsrClearAll);
  WriteRegister(kNdcr, control | kNdcrRun);
  if (!NandWaitStatus(kNdsrWrCmdReq)) return 0;
  WriteRegister(kNdcb0, command);
  WriteRegister(kNdcb0, address1);
  WriteRegister(kNdcb0, address2);
  return 1;
}

// A read or program of `page`: column 0, the row in the upper half of the first address word
// and its high bits in the second.
int StartPageCommand(DWORD command, DWORD page) {
  DWORD row = RowOnChip(page, &command);
  return StartCommand(NandState.ControlWord, command, row << 16, row >> 16);
}

void DropData(DWORD bytes) {
  for (DWORD i = 0; i < bytes / 4; ++i) ReadRegister(kNddb);
}

// Spare bytes a transfer moves at most: a longer spare buffer is cut to what the controller
// carries, so the data buffer never gets or gives more words than the page holds.
DWORD SpareTransferBytes(DWORD spare_length) {
  DWORD carried = NandSpareBytes();
  return spare_length < carried ? spare_length : carried;
}

}  // namespace

DWORD NandTimingCycles(DWORD ns, DWORD clock_mhz, DWORD limit) {
  if (ns < 2) return 0;
  // 64-bit so that a long time at a fast clock cannot wrap to a short one.
  ULONGLONG cycles = (static_cast<ULONGLONG>(clock_mhz) * ns + 999) / 1000;
  if (cycles == 0) return 0;
  --cycles;
  return cycles > limit ? limit : static_cast<DWORD>(cycles);
}

void NandTimingRegisters(const NandChipRecord& chip, DWORD clock_mhz, DWORD* ndtr0, DWORD* ndtr1) {
  DWORD ch = NandTimingCycles(chip.tCH, clock_mhz, kMaxShortTiming);
  DWORD cs = NandTimingCycles(chip.tCS, clock_mhz, kMaxShortTiming);
  DWORD wh = NandTimingCycles(chip.tWH, clock_mhz, kMaxShortTiming);
  DWORD wp = NandTimingCycles(chip.tWP, clock_mhz, kMaxShortTiming);
  DWORD rh = NandTimingCycles(chip.tRH, clock_mhz, kMaxShortTiming);
  DWORD rp = NandTimingCycles(chip.tRP, clock_mhz, kMaxShortTiming);
  DWORD r = NandTimingCycles(chip.tR, clock_mhz, kMaxReadTiming);
  DWORD whr = NandTimingCycles(chip.tWHR, clock_mhz, kMaxTurnaroundTiming);
  DWORD ar = NandTimingCycles(chip.tAR, clock_mhz, kMaxTurnaroundTiming);
  *ndtr0 = rp | rh << 3 | wp << 8 | wh << 11 | cs << 16 | ch << 19;
  *ndtr1 = ar | whr << 4 | r << 16;
}

DWORD NandComposeControlWord(DWORD chip_index) {
  const NandChipRecord& chip = NandChips[chip_index];
  const NandLayoutRecord& layout = NandLayouts[chip_index];
  return chip.ChipSelectWord | chip.RowStartWord | chip.PageSizeWord | chip.IdCountWord |
         chip.BlockSizeWord | chip.ExtraWord | layout.FirstWord | layout.EccWord |
         layout.SpareWord | layout.FourthWord | layout.DataWidthWord | layout.ArbiterWord |
         kNdcrIntMasks;
}

DWORD NandChipForId(DWORD id) {
  switch (id & 0xFFFF) {
    case 0xD3EC:
      return 1;
    case 0xF1EC:
      return 2;
    case 0xDAEC:
      return 3;
    case 0xDCEC:
      return 4;
    case 0xDCAD:
      return 5;
    default:
      return 0;
  }
}

int NandWaitStatus(DWORD mask) {
  for (DWORD reads = 0; reads < kNandPollReads; ++reads) {
    if (ReadRegister(kNdsr) & mask) return 1;
  }
  return 0;
}

NandResult NandFinish() {
  if (!NandWaitStatus(kNdsrRdy)) return kNandTimeout;
  if (!NandWaitStatus(kNdsrCommandEnd)) return kNandTimeout;
  DWORD status = ReadRegister(kNdsr);
  if (status & (kNdsrCs0Bbd | kNdsrCs1Bbd)) return kNandProgramEraseFailed;
  if (status & kNdsrDbErr) return kNandUncorrectable;
  if (status & kNdsrSbErr) return kNandCorrected;
  return kNandDone;
}

NandResult NandAttach(int first_time) {
  // Every attach maps anew; a mapping left from an earlier attach is given back first.
  if (NandState.Registers) {
    UnmapPhysical(NandState.Registers);
    NandState.Registers = NULL;
  }
  NandState.PageBytes = 0;
  NandState.PagesPerBlock = 0;
  NandState.BlockBytes = 0;
  NandState.BlockCount = 0;

  BYTE* registers = static_cast<BYTE*>(MapPhysicalWindow(kNandControllerPhysical));
  if (!registers) return kNandNotMapped;
  NandState.Registers = registers;

  if (first_time) {
    // The probe setting is timed with the clock already in force.
    NandState.ChipIndex = 0;
    ProgramTimings();
    WriteControlWord();
    NandReset();
  } else {
    NandState.ControlWord = ReadRegister(kNdcr);
    NandState.SavedControlWord = NandState.ControlWord;
  }

  NandState.PartNumber = GetCpuPartNumber();
  if (NandState.PartNumber == kPartNumber156Mhz) {
    NandState.ControllerClock = 156;
  } else if (NandState.PartNumber == kPartNumber312Mhz) {
    NandState.ControllerClock = 312;
  } else {
    NandState.ControllerClock = kDefaultClockMhz;
  }

  DWORD id = 0;
  NandResult result = NandReadId(&id);
  if (result == kNandDone) {
    DWORD chip = NandChipForId(id);
    if (chip == 0) {
      result = kNandUnknownChip;
    } else {
      NandState.ChipIndex = chip;
    }
  }
  if (result != kNandDone) {
    // Nothing may reach the controller through a failed attach.
    UnmapPhysical(NandState.Registers);
    NandState.Registers = NULL;
    return result;
  }

  if (first_time) {
    ProgramTimings();
    WriteControlWord();
  }
  NandState.PageBytes = Chip().PageSizeWord ? 2048 : 512;
  NandState.PagesPerBlock = Chip().BlockSizeWord ? 64 : 32;
  NandState.BlockBytes = NandState.PagesPerBlock * NandState.PageBytes;
  NandState.BlockCount = Chip().BlockCount;
  NandState.SpareFlag = Layout().SpareWord != 0;
  NandState.EccFlag = Layout().EccWord != 0;
  return kNandDone;
}

NandResult NandReadId(DWORD* out) {
  if (!NandState.Registers) return kNandNotMapped;
  bool part9 = NandState.PartNumber == kPartNumber312Mhz;
  DWORD control = part9 ? NandState.ControlWord & kNdcrReadIdMaskPart9 : NandState.ControlWord;
  DWORD command = CommandWord(Chip().ReadIdCommand, part9 ? kNdcb0TypeRead : kNdcb0TypeReadId, 1);
  if (!StartCommand(control, command, 0, 0)) return kNandTimeout;
  if (!NandWaitStatus(kNdsrRdDReq)) return kNandTimeout;
  *out = ReadRegister(kNddb);
  DropData(part9 ? kIdTrailingBytesPart9 : kIdTrailingBytes);
  if (!NandWaitStatus(kNdsrCs0CmdD)) return kNandTimeout;
  return kNandDone;
}

NandResult NandReset() {
  if (!NandState.Registers) return kNandNotMapped;
  DWORD command = CommandWord(Chip().ResetCommand, kNdcb0TypeReset, 0);
  if (!StartCommand(NandState.ControlWord, command, 0, 0)) return kNandTimeout;
  if (!NandWaitStatus(kNdsrRdy)) return kNandTimeout;
  return kNandDone;
}

NandResult NandProgramPage(const void* data, const void* spare, DWORD spare_length, DWORD page) {
  if (!data && !spare) return kNandNoBuffer;
  if (!NandState.Registers) return kNandNotMapped;
  DWORD command = CommandWord(Chip().ProgramCommand, kNdcb0TypeProgram, Chip().AddressCycles) |
                  kNdcb0AutoStatus;
  if (!StartPageCommand(command, page)) return kNandTimeout;
  if (!NandWaitStatus(kNdsrWrDReq)) return kNandTimeout;

  if (data) {
    MmioWriteRepeat32(NandState.Registers + kNddb, data, NandState.PageBytes / 4);
  } else {
    for (DWORD i = 0; i < NandState.PageBytes / 4; ++i) WriteRegister(kNddb, 0xFFFFFFFF);
  }
  DWORD given = spare ? SpareTransferBytes(spare_length) / 4 : 0;
  const BYTE* spare_bytes = static_cast<const BYTE*>(spare);
  for (DWORD i = 0; i < NandSpareBytes() / 4; ++i) {
    DWORD word = 0xFFFFFFFF;
    if (i < given) memcpy(&word, spare_bytes + 4 * i, 4);
    WriteRegister(kNddb, word);
  }
  return NandFinish();
}

NandResult NandReadPage(void* data, void* spare, DWORD spare_length, DWORD page) {
  if (!data && !spare) return kNandNoBuffer;
  if (!NandState.Registers) return kNandNotMapped;
  if (!StartPageCommand(ReadCommandWord(), page)) return kNandTimeout;
  if (!NandWaitStatus(kNdsrRdDReq)) return kNandTimeout;

  if (data) {
    MmioReadRepeat32(data, NandState.Registers + kNddb, NandState.PageBytes / 4);
  } else {
    DropData(NandState.PageBytes);
  }
  DWORD taken = spare ? SpareTransferBytes(spare_length) / 4 : 0;
  BYTE* spare_bytes = static_cast<BYTE*>(spare);
  for (DWORD i = 0; i < NandSpareBytes() / 4; ++i) {
    DWORD word = ReadRegister(kNddb);
    if (i < taken) memcpy(spare_bytes + 4 * i, &word, 4);
  }
  NandResult result = NandFinish();
  if (result != kNandUncorrectable && result != kNandCorrected) return result;

  // After an ECC event the controller reads page 0 of the first chip select once more and
  // must finish it; the data already delivered stands. That read's own ECC verdict says
  // nothing about this page: page 0 is erased, and so uncorrectable, while an update has
  // erased the boot area and not yet written it back.
  if (!StartCommand(NandState.ControlWord, ReadCommandWord(), 0, 0)) return kNandTimeout;
  if (!NandWaitStatus(kNdsrRdDReq)) return kNandTimeout;
  DropData(NandState.PageBytes + NandSpareBytes());
  NandResult reread = NandFinish();
  if (reread != kNandDone && reread != kNandCorrected && reread != kNandUncorrectable) {
    return kNandTimeout;
  }
  return result;
}

NandResult NandEraseBlock(DWORD page) {
  if (!NandState.Registers) return kNandNotMapped;
  DWORD command = CommandWord(Chip().EraseCommand, kNdcb0TypeErase, Chip().EraseAddressCycles) |
                  kNdcb0AutoStatus;
  DWORD row = RowOnChip(page, &command);
  if (!StartCommand(NandState.ControlWord, command, row, 0)) return kNandTimeout;
  return NandFinish();
}

int NandSetEcc(int enable) {
  int previous = NandState.EccFlag;
  NandState.EccFlag = enable;
  if (enable) {
    NandState.ControlWord |= kNdcrEccEn;
  } else {
    NandState.ControlWord &= ~kNdcrEccEn;
  }
  return previous;
}

int NandSetSpare(int enable) {
  int previous = NandState.SpareFlag;
  NandState.SpareFlag = enable;
  if (enable) {
    NandState.ControlWord |= kNdcrSpareEn;
  } else {
    NandState.ControlWord &= ~kNdcrSpareEn;
  }
  return previous;
}

DWORD NandSpareBytes() {
  if (!NandState.SpareFlag) return 0;
  return NandState.EccFlag ? kSpareBytesEcc : kSpareBytesRaw;
}

DWORD NandPageBytes() { return NandState.PageBytes; }
DWORD NandBlockBytes(DWORD) { return NandState.BlockBytes; }
DWORD NandPagesPerBlock() { return NandState.PagesPerBlock; }
DWORD NandBlockCount() { return NandState.BlockCount; }

void NandRestoreControl() {
  if (NandState.Registers) WriteRegister(kNdcr, NandState.SavedControlWord);
}

DWORD NandChipIndex() { return NandState.ChipIndex; }
DWORD NandControlWord() { return NandState.ControlWord; }
DWORD NandSavedControlWord() { return NandState.SavedControlWord; }
