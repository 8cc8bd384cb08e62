#include "shell/command_line.h"

#include <string.h>

#include "ce/kernel.h"
#include "ce/wide_text.h"
#include "platform/reboot.h"
#include "resources/resources.h"
#include "shell/main_dialog.h"
#include "update/update_dialog.h"

BatchCommand Commands[kMaxCommands];
int CommandCount = 0;

namespace {

bool IsDigit(WCHAR c) { return c >= TEXT('0') && c <= TEXT('9'); }

// The character at `k`, or 0 past the end of the line.
WCHAR CharAt(const WCHAR* line, size_t length, size_t k) { return k < length ? line[k] : 0; }

}  // namespace

int ParseCommandLine(const WCHAR* line) {
  CommandCount = 0;
  memset(Commands, 0, sizeof Commands);
  const size_t length = line ? wcslen(line) : 0;
  size_t i = 0;
  while (CharAt(line, length, i) == TEXT('/') && CommandCount < kMaxCommands) {
    BatchCommand& command = Commands[CommandCount++];
    switch (CharAt(line, length, i + 1)) {
      case TEXT('u'): {
        command.kind = kCommandUpdate;
        command.quiet = 1;
        // The character after "/u" is skipped; the path runs to the next "/".
        size_t start = i + 3 < length ? i + 3 : length;
        size_t end = start;
        while (end < length && line[end] != TEXT('/')) ++end;
        size_t stop = end < length && end > start ? end - 1 : end;
        if (stop - start >= kPathChars) {
          // A path that does not fit is refused rather than cut to another file's name.
          command.kind = kCommandUnsupported;
        } else {
          for (size_t k = start; k < stop; ++k) command.path[k - start] = line[k];
          command.path[stop - start] = 0;
        }
        i = end;
        break;
      }
      case TEXT('f'):
      case TEXT('c'): {
        command.kind =
            CharAt(line, length, i + 1) == TEXT('f') ? kCommandRegistrySave : kCommandRegistryClear;
        size_t width = 2;
        if (CharAt(line, length, i + 2) == TEXT('u')) {
          command.quiet = 1;
          width = 3;
        }
        i += width + 1;  // one separator, whatever it is
        break;
      }
      case TEXT('r'): {
        command.kind = kCommandRestart;
        if (CharAt(line, length, i + 2) != TEXT('c')) {
          command.delay = 0;
          i += 3;
          break;
        }
        WCHAR next = CharAt(line, length, i + 3);
        if (next == TEXT(' ') || next == TEXT('/') || next == 0) {
          command.delay = 1;
          i += 4;
          break;
        }
        DWORD delay = 0;
        for (size_t k = i + 3; IsDigit(CharAt(line, length, k)); ++k) {
          DWORD digit = static_cast<DWORD>(CharAt(line, length, k) - TEXT('0'));
          delay = delay > (0xFFFFFFFFu - digit) / 10 ? 0xFFFFFFFFu : delay * 10 + digit;
        }
        command.delay = delay;
        size_t end = i + 3;
        while (end < length && line[end] != TEXT(' ') && line[end] != TEXT('/')) ++end;
        i = end + 1;
        break;
      }
      default:
        command.kind = kCommandUnsupported;
        i += 2;
        break;
    }
  }
  return 1;
}

int RunBatchCommands(HINSTANCE instance) {
  if (CommandCount == 0) {
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), NULL, MainDialogProc, 0);
    return 1;
  }
  for (int n = 0; n < CommandCount; ++n) {
    const BatchCommand& command = Commands[n];
    switch (command.kind) {
      case kCommandUpdate:
        StringCchCopyW(ImagePath, kPathChars, command.path);
        QuietFlag = command.quiet;
        DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_UPDATE), NULL, UpdateDialogProc, 0);
        break;
      case kCommandRegistrySave:
        QuietFlag = command.quiet;
        SaveRegistry(NULL);
        break;
      case kCommandRegistryClear:
        QuietFlag = command.quiet;
        ClearRegistry(NULL);
        break;
      case kCommandRestart:
        if (command.delay) {
          Sleep(command.delay);
          Reboot(1);
        } else {
          Reboot(0);
        }
        break;
      default:
        NKDbgPrintfW(TEXT("WARINING: Imbrel.exe: commandline command not supported\n\r"));
        break;
    }
  }
  return 1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPWSTR command_line, int) {
  AppInstance = instance;
  InitCommonControls();
  ParseCommandLine(command_line);
  RunBatchCommands(instance);
  return 1;
}
