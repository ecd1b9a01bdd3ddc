/* Numeric IDs of the windows and controls that the worker and the BLE
 * threads write to. Plain #defines, so that the resource compiler reads this
 * file too (app/resource.h includes it). */
#ifndef DISPLAY_CONTROL_IDS_H
#define DISPLAY_CONTROL_IDS_H

#define IDC_DEVICE_INFO 174     /* main window: Device info box */
#define IDC_COMMAND_RESULT 185  /* main window: query results; no such control exists */
#define IDC_UPDATE_PROGRESS 187 /* main window: firmware update progress bar */
#define IDC_STATUS_LINE 40002   /* main window: status line */
#define IDC_UPDATE 40039        /* main window: Update button */
#define IDC_IMAGE_PATH 40040    /* main window: path of the firmware image */
#define IDC_SELECT_FILE 186     /* main window: Select button */
#define IDC_CONNECT_STEP 179    /* connection progress dialog: text of the latest step */
#define IDC_CONNECT_PROGRESS 180 /* connection progress dialog: progress bar */
#define IDC_DEVICE_LIST 166     /* device selection dialog: list of found devices */

#endif
