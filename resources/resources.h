// Resource ids of the program's dialogs and icon (resources/imbrel.rc). The resource compiler
// reads this file too, so it holds #defines only.
#ifndef IMBREL_RESOURCES_H
#define IMBREL_RESOURCES_H

#define IDD_MAIN 101     // the main dialog
#define IDD_UPDATE 102   // the update dialog
#define IDI_PROGRAM 102  // icon group: 32 x 32 and 16 x 16, 16 colours

#endif
