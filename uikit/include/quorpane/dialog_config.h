// CDialogConfig: the settings dialog for the recording drive, the snapshot
// folder and the live-view performance (buffering) level. It is the only
// writer of the settings store (settings_store.h).
//
// Use: SetParam(handle, value), DoModal() (1 = OK, 2 = Cancel), then
// GetParam() after OK. Language 2 shows the Chinese texts, any other value
// the English ones. The performance scale runs over positions 0..40, value =
// position x 50. Default asks the library for the automatic value of the
// client given by SetParam (nothing happens without one).
//
// Opening (each time the dialog is shown) reads the store, fills the drive
// list with the fixed and network drives and selects the stored RecordDisk
// (exact text) or else the first drive. OK writes RecordDisk, CapturePath and
// LiveViewPerformance; Cancel writes nothing.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quorpane {

class CRuleCtrl;

class CDialogConfig : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kResultOk = 1;
  static constexpr int kResultCancel = 2;
  static constexpr int kScaleStep = 50;
  static constexpr int kScaleMaximum = 40;

  explicit CDialogConfig(int32_t language, QWidget* parent = nullptr);

  // Client handle for Default (0 = none) and the performance value to show.
  void SetParam(uint32_t handle, int32_t value);
  // The performance value chosen with OK.
  void GetParam(int32_t& value) const { value = value_; }
  int DoModal();

  // The folder browser: given the owner, the title and the folder to start
  // in (native), returns the chosen native folder or an empty text. The
  // default is the platform's folder dialog.
  using FolderChooser =
      std::function<QString(QWidget* owner, const QString& title, const QString& start)>;
  void setFolderChooser(FolderChooser chooser) { chooser_ = std::move(chooser); }

  bool chinese() const { return chinese_; }

 public slots:
  void reject() override { done(kResultCancel); }

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void OnInitDialog();
  void OnBrowse();
  void OnDefault();
  void OnOk();

  bool chinese_;
  uint32_t handle_ = 0;
  int32_t value_ = 0;
  FolderChooser chooser_;

  QLabel* disk_label_;       // 207
  QComboBox* disk_list_;     // 201
  QLabel* capture_label_;    // 208
  QLineEdit* capture_edit_;  // 202
  QPushButton* browse_;      // 206
  QLabel* perf_label_;       // 213
  CRuleCtrl* scale_;         // 226
  QLabel* least_label_;      // 223
  QLabel* best_label_;       // 224
  QPushButton* default_;     // 225
  QPushButton* ok_;          // 204
  QPushButton* cancel_;      // 205
};

}  // namespace quorpane
