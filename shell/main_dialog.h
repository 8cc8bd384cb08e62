// The main dialog (template 101) and the registry commands behind its first two buttons.
#pragma once

#include "ce/types.h"
#include "ce/ui.h"

// Buttons of the main dialog.
constexpr int kButtonClearRegistry = 1000;
constexpr int kButtonSaveRegistry = 1001;
constexpr int kButtonUpdate = 1002;
constexpr int kButtonColdboot = 1003;
constexpr int kButtonVersion = 1004;
constexpr int kButtonWarmboot = 1005;

INT_PTR MainDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
/// Writes the registry to flash; a "Registry" box tells the outcome unless QuietFlag is set.
void SaveRegistry(HWND owner);
/// Clears the registry kept in flash; a "Registry" box tells the outcome unless quiet.
void ClearRegistry(HWND owner);
