// CReplayDlg: the playback dialog. Finds local record files by date, time,
// channel, device address and kind on a range of drives (record_search.h),
// lists them, and plays the chosen one through the network client library's
// file functions into its video area, with pause, continue, single step,
// faster, slower, seek, sound and snapshot. Also plays a file chosen in a
// file-open dialog or dropped onto the video area; a double click on the
// video area shows it maximised in a separate window.
//
// Use: CReplayDlg dialog(language, parent); dialog.DoModal(). Language 1
// shows the English texts, any other value the Chinese ones. DoModal returns
// kResultCancel when the dialog is closed (it has no OK).
//
// The search runs on a worker thread owned by the dialog (a new search or
// closing the dialog cancels and joins it); the list is filled in one go when
// it finishes, in the search's order. Everything else runs on the GUI thread.
// The library must have been started (QRNET_Startup) by the host.
#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "quorpane/record_search.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTimeEdit;
class QTimer;

namespace quorpane {

class CHoverButton;
class CMyStatic;
class CPlayPane;
class CSortListCtrl;
class CVideoPane;
class VideoSlot;

class CReplayDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kResultCancel = 2;
  static constexpr int kTimerMs = 500;

  explicit CReplayDlg(int32_t language, QWidget* parent = nullptr);
  ~CReplayDlg() override;

  int DoModal();

  // Plays `path` (drive form "D:\..." or a native path), closing the file
  // that plays. False, after the "Play Failed" message, when it cannot be
  // opened.
  bool OpenFile(const QString& path);
  // Closes the playing file (the Stop button without resetting the slider).
  void CloseFile();

  uint32_t fileHandle() const { return handle_; }
  int32_t totalSeconds() const { return total_; }
  bool paused() const { return paused_; }
  bool dragging() const { return dragging_; }
  bool soundOn() const { return sound_; }
  bool searching() const { return search_thread_.joinable(); }
  bool videoPaneVisible() const;
  // The window the library draws into.
  CMyStatic* videoArea() const { return video_; }

  // Seams for what a test cannot click through. Message boxes: given the
  // owner and the text (default: an information box). The file-open dialog:
  // returns the chosen path or an empty text. The desktop shell: opens a
  // folder URL (default: QDesktopServices::openUrl).
  using MessageSink = std::function<void(QWidget* owner, const QString& text)>;
  using FileChooser = std::function<QString(QWidget* owner)>;
  using ShellOpener = std::function<bool(const QUrl& folder)>;
  void setMessageSink(MessageSink sink) { message_ = std::move(sink); }
  void setFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }
  void setShellOpener(ShellOpener opener) { shell_ = std::move(opener); }

 signals:
  // A search finished and the list holds `rows` rows.
  void searchFinished(int rows);

 public slots:
  void reject() override;

 protected:
  bool event(QEvent* event) override;

 private slots:
  void OnSearchDone();

 private:
  friend class CVideoPane;

  void BuildControls();
  void OnSearch();
  void OnOpen();
  void OnStop();
  void OnTimer();
  void OnSliderAction(int action);
  void OnSliderReleased();
  void OnPlayPaneSeek(uint32_t second);
  void OnFast();
  void OnSlow();
  void OnContinue();
  void OnPause();
  void OnStep();
  void OnSound();
  void OnSnapshot();
  void OnRowActivated(int row);
  void OnFileDropped(const QString& path);
  void ShowVideoPane();
  void RestoreVideoArea();
  void ShowPosition(int32_t seconds);
  void SetSoundIcon(bool on);
  void Message(int string_id);
  void CancelSearch();
  QString Text(int id) const;

  bool english_;
  uint32_t handle_ = 0;
  int32_t total_ = 0;
  bool dragging_ = false;
  bool paused_ = false;
  bool sound_ = false;
  QString last_snapshot_folder_;
  std::vector<char> drive_letters_;

  MessageSink message_;
  FileChooser chooser_;
  ShellOpener shell_;

  // Search worker: started and joined on the GUI thread.
  std::thread search_thread_;
  std::shared_ptr<std::atomic<bool>> search_cancel_;
  std::mutex search_mutex_;
  std::vector<RecordFileEntry> search_rows_;  // guarded by search_mutex_
  bool search_ready_ = false;                 // guarded by search_mutex_

  QDateEdit* start_date_;    // 1003
  QTimeEdit* start_time_;    // 1006
  QDateEdit* end_date_;      // 1004
  QTimeEdit* end_time_;      // 1007
  QComboBox* method_;        // 1008
  QLineEdit* address_;       // 1012
  QComboBox* channel_;       // 1009
  QComboBox* file_type_;     // 1016
  QComboBox* start_drive_;   // 1014
  QComboBox* end_drive_;     // 1015
  QPushButton* search_;      // 1005
  QPushButton* open_;        // 1000
  QPushButton* stop_;        // 1013
  CHoverButton* fast_;       // 1018
  CHoverButton* slow_;       // 1019
  CHoverButton* snapshot_;   // 1020
  CHoverButton* continue_;   // 1021
  CHoverButton* pause_;      // 1022
  CHoverButton* step_;       // 1024
  CHoverButton* sound_btn_;  // 1023
  QSlider* slider_;          // 1017
  QLabel* position_;         // 1025
  CMyStatic* video_;         // 207
  VideoSlot* video_slot_;    // where the video area sits in the dialog
  CPlayPane* play_pane_;
  QLabel* file_name_;    // 1028
  CSortListCtrl* list_;  // 1002
  QTimer* timer_;
  std::unique_ptr<CVideoPane> video_pane_;
};

}  // namespace quorpane
