// The program's command line and the batch runner: "/u PATH" updates, "/f" and "/c" save and
// clear the registry kept in flash ("u" after them: quietly), "/r" restarts warm, "/rc[MS]"
// cold after a delay.
#pragma once

#include "ce/types.h"
#include "ce/ui.h"
#include "shell/program_state.h"

enum CommandKind {
  kCommandUpdate = 0,
  kCommandRegistrySave = 1,
  kCommandRegistryClear = 2,
  kCommandRestart = 3,
  kCommandUnsupported = 0xFF
};

struct BatchCommand {
  WCHAR path[kPathChars];  // update: the image file
  BYTE kind;               // CommandKind
  DWORD quiet;             // no result boxes, no questions
  DWORD delay;             // restart: 0 warm, else milliseconds before a cold restart
};

const int kMaxCommands = 20;
extern BatchCommand Commands[kMaxCommands];
extern int CommandCount;

/// Parses `command_line` (the text after the program's name) into Commands. Returns 1.
int ParseCommandLine(const WCHAR* command_line);
/// With no commands, runs the main dialog until it ends; else runs the commands in order.
int RunBatchCommands(HINSTANCE instance);

/// The program's entry, as the platform starts it. Returns 1 whatever happened.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show);
