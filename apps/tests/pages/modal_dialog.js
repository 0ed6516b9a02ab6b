// Opens the control's configuration dialog, which nobody closes: the
// quit-after limit still ends the page, from inside the dialog's loop.
host.log("opening");
ctl0.PopupConfigDlg();
host.log("closed");
