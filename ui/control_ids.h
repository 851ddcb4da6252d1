#pragma once

namespace vellumora {

// Child controls of the main window, in creation (and Tab) order.
enum ControlId : int {
  IDC_ADD_FILES = 101,
  IDC_ADD_FOLDER = 102,
  IDC_CLEAR = 103,
  IDC_RECURSIVE = 104,
  IDC_LIST = 117,
  IDC_STATUS = 118,
  IDC_FORMAT_LABEL = 210,
  IDC_FORMAT = 105,
  IDC_QUALITY_LABEL = 211,
  IDC_QUALITY = 106,
  IDC_QUALITY_HINT = 212,
  IDC_DESTINATION_LABEL = 213,
  IDC_DESTINATION = 107,
  IDC_FOLDER = 108,
  IDC_BROWSE_FOLDER = 109,
  IDC_GUARANTEE_NOTE = 214,
  IDC_RECYCLE = 111,
  IDC_AUTO = 110,
  IDC_SILENT = 112,
  IDC_START = 113,
  IDC_STOP = 114,
  IDC_MENU_INSTALL = 115,
  IDC_MENU_REMOVE = 116,
  IDC_ABOUT = 119,
  IDC_SUMMARY = 215,
};

}  // namespace vellumora
