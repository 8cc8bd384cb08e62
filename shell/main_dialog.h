// The main dialog (template 101) and the registry commands behind its first two buttons.
#pragma once

#include "ce/types.h"
#include "ce/ui.h"

// The program's version, as its title shows it ("Imbrel 2.9").
const int kVersionMajor = 2;
const int kVersionMinor = 9;

// Buttons of the main dialog.
const int kButtonClearRegistry = 1000;
const int kButtonSaveRegistry = 1001;
const int kButtonUpdate = 1002;
const int kButtonColdboot = 1003;
const int kButtonVersion = 1004;
const int kButtonWarmboot = 1005;

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
/// Writes the registry to flash; a "Registry" box tells the outcome unless QuietFlag is set.
void SaveRegistry(HWND owner);
/// Clears the registry kept in flash; a "Registry" box tells the outcome unless quiet.
void ClearRegistry(HWND owner);
