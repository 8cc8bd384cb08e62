// The NAND driver's entry points for the flash operations table: the logical flash of the
// PXA3xx data flash controller behind the bad-block map.
#pragma once

#include "ce/types.h"
#include "flash/nand/nand_controller.h"

int NandInit();
int NandEraseRange(DWORD offset, DWORD length);
int NandReadBuffer(void* destination, DWORD offset, DWORD count);
DWORD NandReadWord(DWORD offset);
int NandWriteWord(DWORD offset, DWORD value);
int NandWriteBuffer(const void* source, DWORD offset, DWORD count);
