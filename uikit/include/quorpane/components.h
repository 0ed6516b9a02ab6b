// The four component wrappers the viewer control uses: a cover (privacy
// mask) rectangle over the video, the configuration dialog, the replay dialog
// and the full-screen video window. Each wrapper owns exactly one window
// object and forwards a few calls to it, so the control never sees the
// component window classes.
//
// Window handles are QWidget pointers. Show commands keep their platform
// numbers (0 hide, 5 show; any other non-zero value shows). The cover window
// posts the selection message kMsgCoverSelected (1234, window_message.h) to
// its parent with wParam = its id and lParam = 0 whenever the left button goes
// down in it, read-only or not.
//
// GUI thread only.
#pragma once

#include <QPointer>
#include <cstdint>
#include <memory>

class QWidget;

namespace quorpane {

class CCoveryWnd;
class CDialogConfig;
class CFullScreenDlg;
class CReplayDlg;

// Platform show commands used by the wrappers.
inline constexpr int kSwHide = 0;
inline constexpr int kSwShow = 5;

class CCoverCtrl {
 public:
  // The cover object with its defaults (read-only, not selected, id 0); no
  // window yet.
  CCoverCtrl();
  // Destroys the window if it still exists.
  ~CCoverCtrl();
  CCoverCtrl(const CCoverCtrl&) = delete;
  CCoverCtrl& operator=(const CCoverCtrl&) = delete;

  // Creates the window as a hidden child of `parent` with an empty rectangle
  // (`id` is not used: SetID sets the number). Returns 1; 0 without a parent
  // or when the window exists already (one wrapper never owns two windows).
  int Create(QWidget* parent, int id);
  // The window, or null before Create (or after its parent destroyed it).
  QWidget* GetSafeHwnd() const;
  void SetID(int id);
  void Select();
  void DeSelect();
  // 1 = cannot be moved or resized (clicks still report the selection).
  void ReadOnly(int flag);
  void ShowWindow(int command);
  // Rectangle in parent coordinates; negative sizes count as 0.
  void MoveWindow(int x, int y, int width, int height, int repaint);
  void Invalidate(int erase);

 private:
  std::unique_ptr<CCoveryWnd> object_;  // until Create hands it to its parent
  QPointer<CCoveryWnd> window_;         // after Create; the parent may delete it
};

class CConfigCtrl {
 public:
  // The configuration dialog in `language` (2 = Chinese, otherwise English);
  // `parent` is only kept.
  CConfigCtrl(QWidget* parent, long language);
  ~CConfigCtrl();
  CConfigCtrl(const CConfigCtrl&) = delete;
  CConfigCtrl& operator=(const CConfigCtrl&) = delete;

  // Shows the dialog modeless as a child of `parent`; 1, or 0 without one.
  int Create(QWidget* parent);
  void ShowWindow(unsigned command);
  // Client handle for the dialog's Default button, and the value to show.
  void SetParam(long handle, int value);
  // The live-view performance chosen with OK.
  void GetParam(int& value) const;
  // 1 = OK, 2 = Cancel.
  int DoModal();
  // The dialog (tests drive it).
  CDialogConfig* dialog() const { return dialog_.get(); }

 private:
  QWidget* parent_;
  std::unique_ptr<CDialogConfig> dialog_;
};

// The replay dialog (replay_dialog.h) in `language` (1 = English, otherwise
// Chinese); `parent` is not used.
class CReplayCtrl {
 public:
  CReplayCtrl(QWidget* parent, long language);
  ~CReplayCtrl();
  CReplayCtrl(const CReplayCtrl&) = delete;
  CReplayCtrl& operator=(const CReplayCtrl&) = delete;

  // Runs the dialog modally; 2 when it is closed.
  int DoModal();
  // The dialog (tests drive it).
  CReplayDlg* dialog() const { return dialog_.get(); }

 private:
  std::unique_ptr<CReplayDlg> dialog_;
};

class CFullScreenCtrl {
 public:
  // The full-screen window for client `handle` (`parent` is not used).
  CFullScreenCtrl(QWidget* parent, uint32_t handle);
  ~CFullScreenCtrl();
  CFullScreenCtrl(const CFullScreenCtrl&) = delete;
  CFullScreenCtrl& operator=(const CFullScreenCtrl&) = delete;

  // Covers the screen, draws the client into itself and runs until a double
  // click (or Escape) closes it; the client is detached from it on the way
  // out, and the caller reattaches it to its own window. Returns 2 (closed).
  int DoModal();
  QWidget* GetSafeHwnd() const;

 private:
  std::unique_ptr<CFullScreenDlg> dialog_;
};

}  // namespace quorpane
