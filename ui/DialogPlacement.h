#pragma once
// Where a secondary window appears when it is shown.

class QWidget;

// Qt centres a dialog on the window it belongs to. While that window is
// hidden (the program in the tray) this puts Dialog in the middle of the
// screen instead; call it from the dialog's showEvent, after QDialog's, for
// a show that is not spontaneous.
void CentreWhileOwnerHidden(QWidget* Dialog);
