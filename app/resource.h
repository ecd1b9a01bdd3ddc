/* Numeric IDs of the program's resources and of the controls in its dialog
 * templates. Read by the resource compiler and by the C++ code alike, so
 * plain #defines only. The control IDs that the worker also writes to live
 * in display/control_ids.h. */
#ifndef APP_RESOURCE_H
#define APP_RESOURCE_H

#include "display/control_ids.h"

/* Icon groups: the program file's icon (lowest ID, so the shell shows it)
 * and the window and About icon. */
#define IDI_APPICON 101
#define IDI_WINDOW_ICON 163

#define IDR_MAIN_MENU 100
#define IDR_ACCELERATORS 160 /* holds no entries */

/* Dialog templates. */
#define IDD_ABOUT 162
#define IDD_SELECT_DEVICE 165
#define IDD_MAIN 173
#define IDD_CONNECT_PROGRESS 178

/* Menu commands of the main window. */
#define IDM_ABOUT 161
#define IDM_EXIT 176
#define IDM_CONNECT 177
#define IDM_DISCONNECT 192
#define IDM_OPEN_LOG_FOLDER 193

/* Main window: the pace of the image being sent, under the progress bar;
 * written by the UI thread only. */
#define IDC_TRANSFER_RATE 40041

/* Device selection dialog buttons. */
#define IDC_SCAN 167
#define IDC_CONNECT 168

/* Controls nothing refers to: the frames and labels. */
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_UNNAMED 0

#endif
