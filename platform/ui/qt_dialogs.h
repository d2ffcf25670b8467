// The user interface's side of the dialogs: Qt message boxes, the input box
// and the file dialogs behind mg::Dialogs, and the standard error report as a
// message box. Only the window links this.
#pragma once

class QWidget;

namespace mg {

// Makes the Qt dialogs the process's default (their parent `parent`, else the
// active window) and the error report a box with the error icon.
void InstallQtDialogs(QWidget* parent = nullptr);

}  // namespace mg
