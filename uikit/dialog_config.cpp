// The configuration dialog.
#include "quorpane/dialog_config.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "quornet.h"
#include "quorpane/rule_ctrl.h"
#include "quorpane/settings_store.h"
#include "quorpane/ui_strings.h"
#include "quorpane/video_widget.h"
#include "quorpane/window_message.h"

namespace quorpane {

namespace {

constexpr int32_t kChineseLanguage = 2;

// The dialog's own texts that the string table does not hold: English, then
// Chinese.
struct Text {
  const char* english;
  const char* chinese;
};
constexpr Text kTitle = {"Configure ", "设置"};
constexpr Text kPerformance = {"Live View Performance:", "播放性能:"};
constexpr Text kLeastDelay = {"Least Delay", "实时性"};
constexpr Text kBestFluency = {"Best Fluency", "流畅性"};
constexpr Text kDefault = {"Default", "默认"};
constexpr Text kOk = {"OK", "确定"};
constexpr Text kCancel = {"Cancel", "取消"};

QString Pick(const Text& t, bool chinese) {
  return QString::fromUtf8(chinese ? t.chinese : t.english);
}

QString DefaultChooser(QWidget* owner, const QString& title, const QString& start) {
  return QFileDialog::getExistingDirectory(
      owner, title, start, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

template <class W>
W* Named(W* widget, int id) {
  widget->setObjectName(QStringLiteral("ctl%1").arg(id));
  return widget;
}

}  // namespace

CDialogConfig::CDialogConfig(int32_t language, QWidget* parent)
    : QDialog(parent),
      chinese_(language == kChineseLanguage),
      chooser_(DefaultChooser),
      disk_label_(Named(new QLabel(this), 207)),
      disk_list_(Named(new QComboBox(this), 201)),
      capture_label_(Named(new QLabel(this), 208)),
      capture_edit_(Named(new QLineEdit(this), 202)),
      browse_(Named(new QPushButton(QStringLiteral("..."), this), 206)),
      perf_label_(Named(new QLabel(this), 213)),
      scale_(Named(new CRuleCtrl(this), 226)),
      least_label_(Named(new QLabel(this), 223)),
      best_label_(Named(new QLabel(this), 224)),
      default_(Named(new QPushButton(this), 225)),
      ok_(Named(new QPushButton(this), 204)),
      cancel_(Named(new QPushButton(this), 205)) {
  // Texts: the English ones of the dialog, or the Chinese ones.
  setWindowTitle(Pick(kTitle, chinese_));
  disk_label_->setText(UiString(3, !chinese_));
  capture_label_->setText(UiString(4, !chinese_));
  perf_label_->setText(Pick(kPerformance, chinese_));
  least_label_->setText(Pick(kLeastDelay, chinese_));
  best_label_->setText(Pick(kBestFluency, chinese_));
  default_->setText(Pick(kDefault, chinese_));
  ok_->setText(Pick(kOk, chinese_));
  cancel_->setText(Pick(kCancel, chinese_));

  capture_edit_->setEnabled(false);
  browse_->setFixedWidth(browse_->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 24);
  scale_->setRange(0, kScaleMaximum);
  scale_->setMinimumSize(QSize(kScaleMaximum * 12 + 24, 56));
  least_label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  best_label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  ok_->setDefault(true);

  auto* grid = new QGridLayout;
  grid->addWidget(disk_label_, 0, 0);
  grid->addWidget(disk_list_, 0, 1, 1, 2);
  grid->addWidget(capture_label_, 1, 0);
  grid->addWidget(capture_edit_, 1, 1);
  grid->addWidget(browse_, 1, 2);
  grid->setColumnStretch(1, 1);

  auto* ends = new QHBoxLayout;
  ends->addWidget(least_label_);
  ends->addStretch(1);
  ends->addWidget(best_label_);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(default_);
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);

  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addSpacing(6);
  top->addWidget(perf_label_);
  top->addWidget(scale_);
  top->addLayout(ends);
  top->addSpacing(6);
  top->addLayout(buttons);
  top->setSizeConstraint(QLayout::SetFixedSize);

  connect(browse_, &QPushButton::clicked, this, &CDialogConfig::OnBrowse);
  connect(default_, &QPushButton::clicked, this, &CDialogConfig::OnDefault);
  connect(ok_, &QPushButton::clicked, this, &CDialogConfig::OnOk);
  connect(cancel_, &QPushButton::clicked, this, &CDialogConfig::reject);
}

void CDialogConfig::SetParam(uint32_t handle, int32_t value) {
  handle_ = handle;
  value_ = value;
}

int CDialogConfig::DoModal() {
  return exec();
}

void CDialogConfig::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) OnInitDialog();
  QDialog::showEvent(event);
}

void CDialogConfig::OnInitDialog() {
  const DialogSettings stored = ReadDialogSettings();
  capture_edit_->setText(stored.capture_path);

  // A value outside 0..2000 (the "missing" -1 among them) shows at the
  // nearest end of the scale.
  scale_->setRange(0, kScaleMaximum);
  scale_->setPosition(std::clamp(value_ / kScaleStep, 0, kScaleMaximum));

  disk_list_->clear();
  for (const QString& root : RecordDriveRoots()) disk_list_->addItem(root);
  const int match =
      disk_list_->findText(stored.record_disk, Qt::MatchExactly | Qt::MatchCaseSensitive);
  disk_list_->setCurrentIndex(match >= 0 ? match : 0);
  capture_edit_->setText(stored.capture_path);
}

bool CDialogConfig::event(QEvent* event) {
  if (event->type() == WindowMessageEvent::kType) {
    const auto* m = static_cast<WindowMessageEvent*>(event);
    if (m->msg() == kMsgRulerTick) {
      scale_->setPosition(int(std::min<uint32_t>(m->wparam(), uint32_t(kScaleMaximum))));
    }
    return true;
  }
  return QDialog::event(event);
}

void CDialogConfig::OnBrowse() {
  const QString start = NativePath(capture_edit_->text());
  const QString chosen =
      chooser_ ? chooser_(this, QStringLiteral("Select path"), start) : QString();
  if (chosen.isEmpty()) return;
  // Stored paths keep their drive form; a folder outside every drive has
  // none and is not taken.
  const QString drive_path = DrivePath(chosen);
  if (!drive_path.isEmpty()) capture_edit_->setText(drive_path);
}

void CDialogConfig::OnDefault() {
  if (handle_ == 0) return;
  QRNET_SetLiveViewPerformance(handle_, -1);
  const int32_t value = QRNET_GetLiveViewPerformance(handle_, 1);
  if (value != -1) scale_->setPosition(std::clamp(value / kScaleStep, 0, kScaleMaximum));
}

void CDialogConfig::OnOk() {
  const int32_t value = scale_->position() * kScaleStep;
  WriteSettings(disk_list_->currentText(), capture_edit_->text(), value);
  value_ = value;
  done(kResultOk);
}

}  // namespace quorpane
