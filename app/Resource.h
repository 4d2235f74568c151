#pragma once

// Control identifiers of the dialogs. Each control carries its id as the
// dynamic property "controlId" and its symbol as object name (ControlId.h).
enum ControlIds : int {
    IDOK = 1,
    IDCANCEL = 2,

    // Add-device dialog
    IDC_EDIT_UID = 1012,
    IDC_STATIC_UID = 1013,
    IDC_EDIT_PASSWORD = 1014,
    IDC_STATIC_PASSWORD = 1015,

    // Main window: panes IDC_VIDEO_PANE + i, i = 0..3
    IDC_VIDEO_PANE = 1101,
    IDC_BTN_UPLOAD = 1200,
    IDC_BTN_ADD = 1201,
    IDC_BTN_DELETE = 1202,
    IDC_BTN_TALK = 1203,
    IDC_BTN_RECORD = 1204,
    IDC_DEVICE_LIST = 1206,
};
