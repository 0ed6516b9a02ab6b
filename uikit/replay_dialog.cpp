// The replay dialog.
#include "quorpane/replay_dialog.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QStyledItemDelegate>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "qrplat/thread.h"
#include "quornet.h"
#include "quorpane/hover_button.h"
#include "quorpane/my_static.h"
#include "quorpane/play_pane.h"
#include "quorpane/settings_store.h"
#include "quorpane/sort_list_ctrl.h"
#include "quorpane/ui_strings.h"
#include "quorpane/video_widget.h"
#include "quorpane/window_message.h"

namespace quorpane {

namespace {

constexpr int32_t kEnglishLanguage = 1;
// Longest file name handed to the library (it refuses names over its own
// path field anyway).
constexpr size_t kMaxOpenBytes = 1022;
const QColor kEvenRowColour(223, 255, 240);

// The dialog's labels and buttons that the string table does not hold:
// English, then Chinese.
struct TextPair {
  const char* english;
  const char* chinese;
};
constexpr TextPair kTitle = {" Playback", " Playback"};
constexpr TextPair kStartTime = {"Start Time", "开始时间"};  // 8000
constexpr TextPair kEndTime = {"End Time", "结束时间"};      // 8001
constexpr TextPair kSearchBy = {"Search By", "查询方式"};    // 8002
constexpr TextPair kIpAddress = {"IP Address", "IP地址"};    // 1010
constexpr TextPair kChannel = {"Channel", "通道"};           // 8003
constexpr TextPair kFileType = {"File Type", "文件类型"};    // 8004
constexpr TextPair kStartDisk = {"Start Disk", "起始磁盘"};  // 8005
constexpr TextPair kEndDisk = {"End Disk", "结束磁盘"};      // 8006
constexpr TextPair kSearch = {"Search", "查询"};             // 1005
constexpr TextPair kOpen = {"Open", "打开"};                 // 1000
constexpr TextPair kStop = {"Stop", "停止"};                 // 1013
constexpr TextPair kOpenTitle = {"Open record file", "打开录像文件"};

QString Pick(const TextPair& t, bool english) {
  return QString::fromUtf8(english ? t.english : t.chinese);
}

template <class W>
W* Named(W* widget, int id) {
  widget->setObjectName(QStringLiteral("ctl%1").arg(id));
  return widget;
}

QString Clock(int32_t seconds) {
  return QString::asprintf("%02d:%02d", seconds / 60, seconds % 60);
}

// Four fields of an IPv4 address field, most significant first; a blank
// field counts as 0 and a field over 255 as 255. 0 when nothing is entered.
uint32_t AddressValue(const QString& text) {
  const QStringList fields = text.split(u'.');
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const uint32_t f = i < fields.size() ? std::min(fields[i].toUInt(), 255u) : 0u;
    value = value << 8 | f;
  }
  return value;
}

// The icon images (resource numbers of the button table), drawn here.
QIcon MakeIcon(int id) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor ink(32, 72, 120);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  auto triangle = [&](double x0, double x1, double top, double bottom) {
    QPainterPath path;
    path.moveTo(x0, top);
    path.lineTo(x1, (top + bottom) / 2);
    path.lineTo(x0, bottom);
    path.closeSubpath();
    p.drawPath(path);
  };
  auto speaker = [&] {
    QPainterPath path;
    path.moveTo(5, 12);
    path.lineTo(10, 12);
    path.lineTo(17, 6);
    path.lineTo(17, 26);
    path.lineTo(10, 20);
    path.lineTo(5, 20);
    path.closeSubpath();
    p.drawPath(path);
  };
  switch (id) {
    case 130:  // faster
      triangle(4, 16, 8, 24);
      triangle(16, 28, 8, 24);
      break;
    case 133:  // slower
      triangle(16, 4, 8, 24);
      triangle(28, 16, 8, 24);
      break;
    case 137:  // continue
      triangle(9, 25, 6, 26);
      break;
    case 135:  // pause
      p.drawRect(QRectF(9, 7, 5, 18));
      p.drawRect(QRectF(18, 7, 5, 18));
      break;
    case 139:  // step
      triangle(7, 21, 7, 25);
      p.drawRect(QRectF(22, 7, 4, 18));
      break;
    case 145: {  // snapshot
      p.drawRoundedRect(QRectF(4, 10, 24, 16), 3, 3);
      p.drawRect(QRectF(11, 7, 10, 4));
      p.setBrush(Qt::white);
      p.drawEllipse(QPointF(16, 18), 5, 5);
      p.setBrush(ink);
      p.drawEllipse(QPointF(16, 18), 3, 3);
      break;
    }
    case 141:  // sound on
      speaker();
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(ink, 2));
      p.drawArc(QRectF(15, 10, 8, 12), -60 * 16, 120 * 16);
      p.drawArc(QRectF(15, 6, 13, 20), -60 * 16, 120 * 16);
      break;
    case 142:  // sound off
      speaker();
      p.setPen(QPen(QColor(190, 30, 30), 2.5));
      p.drawLine(QPointF(20, 11), QPointF(28, 21));
      p.drawLine(QPointF(28, 11), QPointF(20, 21));
      break;
    default:
      break;
  }
  return QIcon(pixmap);
}

// Paints rows with an even index on the list's light green.
class EvenRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    if (index.row() % 2 == 0 && !(option.state & QStyle::State_Selected)) {
      painter->fillRect(option.rect, kEvenRowColour);
    }
    QStyledItemDelegate::paint(painter, option, index);
  }
};

}  // namespace

// Where the video area sits in the dialog; while the area is shown in the
// video pane, the place it left gets a black frame.
class VideoSlot : public QWidget {
 public:
  explicit VideoSlot(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setMinimumSize(352, 288);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  }
  void Hold(QWidget* video) {
    layout()->addWidget(video);
    video->show();
    update();
  }
  void Release(QWidget* video) {
    layout()->removeWidget(video);
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (layout()->count() > 0) return;
    QPainter p(this);
    p.setPen(QPen(Qt::black, 1));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
  }
};

// The enlarged view: a top-level window that takes the video area while it
// is shown; closing it gives the area back to the dialog.
class CVideoPane : public QDialog {
 public:
  explicit CVideoPane(CReplayDlg* owner) : QDialog(nullptr, Qt::Window), owner_(owner) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    setMinimumSize(150, 100);
    setWindowTitle(owner->windowTitle());
  }
  void Take(QWidget* video) {
    layout()->addWidget(video);
    video->show();
  }
  void Give(QWidget* video) { layout()->removeWidget(video); }

  void done(int result) override {
    QDialog::done(result);
    owner_->RestoreVideoArea();
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QDialog::resizeEvent(event);
    if (owner_->handle_ != 0) QRNET_ClientRefreshWnd(owner_->handle_);
  }

 private:
  CReplayDlg* owner_;
};

CReplayDlg::CReplayDlg(int32_t language, QWidget* parent)
    : QDialog(parent),
      english_(language == kEnglishLanguage),
      message_([](QWidget* owner, const QString& text) {
        QMessageBox::information(owner, owner->windowTitle(), text);
      }),
      chooser_([](QWidget* owner) {
        return QFileDialog::getOpenFileName(
            owner, QString(), QString(),
            QStringLiteral("(*.AVI) (*.avi *.AVI);;(*.H264) (*.h264 *.H264);;ALL(*.*) (*)"));
      }),
      shell_([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
  BuildControls();
  video_pane_ = std::make_unique<CVideoPane>(this);
}

CReplayDlg::~CReplayDlg() {
  CancelSearch();
  CloseFile();
  RestoreVideoArea();
  video_pane_.reset();
}

QString CReplayDlg::Text(int id) const {
  return UiString(id, english_);
}

void CReplayDlg::BuildControls() {
  setWindowTitle(Pick(kTitle, english_));
  setWindowIcon(MakeIcon(137));

  auto label = [&](int id, const TextPair& t) {
    return Named(new QLabel(Pick(t, english_), this), id);
  };

  // Search fields.
  const QDate today = QDate::currentDate();
  start_date_ = Named(new QDateEdit(today, this), 1003);
  start_time_ = Named(new QTimeEdit(QTime(0, 0, 0), this), 1006);
  end_date_ = Named(new QDateEdit(today, this), 1004);
  end_time_ = Named(new QTimeEdit(QTime(23, 59, 59), this), 1007);
  for (QDateEdit* d : {start_date_, end_date_}) {
    d->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    d->setCalendarPopup(true);
  }
  for (QTimeEdit* t : {start_time_, end_time_}) t->setDisplayFormat(QStringLiteral("HH:mm:ss"));

  method_ = Named(new QComboBox(this), 1008);
  method_->addItem(Text(6));
  address_ = Named(new QLineEdit(this), 1012);
  address_->setPlaceholderText(QStringLiteral("0.0.0.0"));
  address_->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("^[0-9]{0,3}(\\.[0-9]{0,3}){0,3}$")), address_));
  channel_ = Named(new QComboBox(this), 1009);
  channel_->addItem(Text(5));
  for (int c = 1; c <= 8; ++c) channel_->addItem(QString::number(c));
  file_type_ = Named(new QComboBox(this), 1016);
  file_type_->addItems({Text(5), Text(150), Text(151)});
  start_drive_ = Named(new QComboBox(this), 1014);
  end_drive_ = Named(new QComboBox(this), 1015);
  for (const QString& root : RecordDriveRoots()) {
    start_drive_->addItem(root);
    end_drive_->addItem(root);
    drive_letters_.push_back(char(root.at(0).toLatin1()));
  }
  start_drive_->setCurrentIndex(0);
  end_drive_->setCurrentIndex(end_drive_->count() - 1);
  search_ = Named(new QPushButton(Pick(kSearch, english_), this), 1005);
  open_ = Named(new QPushButton(Pick(kOpen, english_), this), 1000);
  stop_ = Named(new QPushButton(Pick(kStop, english_), this), 1013);
  search_->setDefault(true);
  search_->setFocus();

  // Playback.
  auto hover = [&](int id, int icon, int tip) {
    auto* b = Named(new CHoverButton(this), id);
    b->setButtonIcon(MakeIcon(icon));
    b->setTooltipText(Text(tip));
    return b;
  };
  fast_ = hover(1018, 130, 133);
  slow_ = hover(1019, 133, 134);
  snapshot_ = hover(1020, 145, 135);
  continue_ = hover(1021, 137, 137);
  pause_ = hover(1022, 135, 136);
  step_ = hover(1024, 139, 141);
  sound_btn_ = hover(1023, 141, 138);
  SetSoundIcon(false);

  slider_ = Named(new QSlider(Qt::Horizontal, this), 1017);
  slider_->setRange(0, 0);
  position_ = Named(new QLabel(QStringLiteral("00:00/00:00"), this), 1025);
  video_slot_ = new VideoSlot(this);
  video_ = Named(new CMyStatic(video_slot_), 207);
  video_slot_->Hold(video_);
  play_pane_ = new CPlayPane(this);
  play_pane_->setObjectName(QStringLiteral("play_pane"));
  play_pane_->setFixedHeight(10);
  file_name_ = Named(new QLabel(this), 1028);
  file_name_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  file_name_->setMinimumWidth(200);

  list_ = Named(new CSortListCtrl(this), 1002);
  list_->setColumns({Text(142), Text(143), Text(144), Text(145), Text(146), Text(147)},
                    {50, 400, 60, 64, 130, 130});
  list_->setShowGrid(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setItemDelegate(new EvenRowDelegate(list_));
  list_->verticalHeader()->hide();
  list_->setMinimumHeight(160);

  timer_ = new QTimer(this);
  timer_->setInterval(kTimerMs);

  // Layout: video and its controls on the left, the search fields on the
  // right, the result list below.
  auto* video_column = new QVBoxLayout;
  video_column->setSpacing(0);
  video_column->addWidget(video_slot_, 1);
  video_column->addWidget(play_pane_);  // directly below, as wide, 10 high
  video_column->addSpacing(4);
  auto* seek_row = new QHBoxLayout;
  seek_row->addWidget(slider_, 1);
  seek_row->addWidget(position_);
  video_column->addLayout(seek_row);
  auto* button_row = new QHBoxLayout;
  button_row->setSpacing(2);
  for (CHoverButton* b : {slow_, fast_, continue_, pause_, step_, snapshot_, sound_btn_}) {
    button_row->addWidget(b);
  }
  button_row->addSpacing(8);
  button_row->addWidget(file_name_, 1);
  video_column->addLayout(button_row);

  auto* form = new QGridLayout;
  int row = 0;
  form->addWidget(label(8000, kStartTime), row, 0);
  form->addWidget(start_date_, row, 1);
  form->addWidget(start_time_, row++, 2);
  form->addWidget(label(8001, kEndTime), row, 0);
  form->addWidget(end_date_, row, 1);
  form->addWidget(end_time_, row++, 2);
  form->addWidget(label(8002, kSearchBy), row, 0);
  form->addWidget(method_, row++, 1, 1, 2);
  form->addWidget(label(1010, kIpAddress), row, 0);
  form->addWidget(address_, row++, 1, 1, 2);
  form->addWidget(label(8003, kChannel), row, 0);
  form->addWidget(channel_, row++, 1, 1, 2);
  form->addWidget(label(8004, kFileType), row, 0);
  form->addWidget(file_type_, row++, 1, 1, 2);
  form->addWidget(label(8005, kStartDisk), row, 0);
  form->addWidget(start_drive_, row++, 1, 1, 2);
  form->addWidget(label(8006, kEndDisk), row, 0);
  form->addWidget(end_drive_, row++, 1, 1, 2);
  form->setRowStretch(row++, 1);
  auto* actions = new QHBoxLayout;
  actions->addWidget(search_);
  actions->addWidget(open_);
  actions->addWidget(stop_);
  form->addLayout(actions, row, 0, 1, 3);

  auto* top = new QHBoxLayout;
  top->addLayout(video_column, 1);
  top->addSpacing(8);
  top->addLayout(form);

  auto* outer = new QVBoxLayout(this);
  outer->addLayout(top, 3);
  outer->addWidget(list_, 2);

  connect(search_, &QPushButton::clicked, this, &CReplayDlg::OnSearch);
  connect(open_, &QPushButton::clicked, this, &CReplayDlg::OnOpen);
  connect(stop_, &QPushButton::clicked, this, &CReplayDlg::OnStop);
  connect(fast_, &CHoverButton::clicked, this, &CReplayDlg::OnFast);
  connect(slow_, &CHoverButton::clicked, this, &CReplayDlg::OnSlow);
  connect(snapshot_, &CHoverButton::clicked, this, &CReplayDlg::OnSnapshot);
  connect(continue_, &CHoverButton::clicked, this, &CReplayDlg::OnContinue);
  connect(pause_, &CHoverButton::clicked, this, &CReplayDlg::OnPause);
  connect(step_, &CHoverButton::clicked, this, &CReplayDlg::OnStep);
  connect(sound_btn_, &CHoverButton::clicked, this, &CReplayDlg::OnSound);
  connect(slider_, &QSlider::actionTriggered, this, &CReplayDlg::OnSliderAction);
  connect(slider_, &QSlider::sliderReleased, this, &CReplayDlg::OnSliderReleased);
  connect(timer_, &QTimer::timeout, this, &CReplayDlg::OnTimer);
  connect(list_, &QTableWidget::cellDoubleClicked, this, [this](int r, int) { OnRowActivated(r); });
  connect(video_, &CMyStatic::fileDropped, this, &CReplayDlg::OnFileDropped);
  connect(video_, &CMyStatic::doubleClicked, this, &CReplayDlg::ShowVideoPane);
}

int CReplayDlg::DoModal() {
  return exec();
}

void CReplayDlg::reject() {
  CancelSearch();
  CloseFile();
  if (video_pane_ && video_pane_->isVisible()) video_pane_->hide();
  RestoreVideoArea();
  done(kResultCancel);
}

bool CReplayDlg::event(QEvent* event) {
  if (event->type() == WindowMessageEvent::kType) {
    const auto* m = static_cast<WindowMessageEvent*>(event);
    if (m->msg() == kMsgPlayPaneSeek) OnPlayPaneSeek(m->wparam());
    return true;
  }
  return QDialog::event(event);
}

void CReplayDlg::Message(int string_id) {
  if (message_) message_(this, Text(string_id));
}

// ---- Search ------------------------------------------------------------------

void CReplayDlg::OnSearch() {
  const int first = start_drive_->currentIndex();
  const int last = end_drive_->currentIndex();
  if (last < first) {
    Message(139);
    return;
  }
  RecordSearchQuery query;
  query.channel = channel_->currentIndex();
  const uint32_t address = AddressValue(address_->text());
  if (address != 0) {
    query.address = QString::asprintf("%u.%u.%u.%u", address >> 24, address >> 16 & 0xFF,
                                      address >> 8 & 0xFF, address & 0xFF);
  }
  query.start = QDateTime(start_date_->date(), start_time_->time());
  query.end = QDateTime(end_date_->date(), end_time_->time());
  if (query.start > query.end) {
    Message(154);
    return;
  }
  const int type = file_type_->currentIndex();
  query.normal = type == 0 || type == 1;
  query.alarm = type == 0 || type == 2;
  for (int i = std::max(first, 0); i <= last && i < int(drive_letters_.size()); ++i) {
    query.drives.push_back(drive_letters_[size_t(i)]);
  }

  CancelSearch();
  list_->deleteAllRows();
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  search_cancel_ = cancel;
  search_thread_ = std::thread([this, query = std::move(query), cancel] {
    std::vector<RecordFileEntry> rows = ScanRecordFiles(query, cancel.get());
    {
      std::lock_guard<std::mutex> lock(search_mutex_);
      if (cancel->load()) return;
      search_rows_ = std::move(rows);
      search_ready_ = true;
    }
    QMetaObject::invokeMethod(this, "OnSearchDone", Qt::QueuedConnection);
  });
}

void CReplayDlg::CancelSearch() {
  if (search_cancel_) search_cancel_->store(true);
  if (search_thread_.joinable()) search_thread_.join();
  search_cancel_.reset();
  std::lock_guard<std::mutex> lock(search_mutex_);
  search_ready_ = false;
  search_rows_.clear();
}

void CReplayDlg::OnSearchDone() {
  std::vector<RecordFileEntry> rows;
  {
    std::lock_guard<std::mutex> lock(search_mutex_);
    if (!search_ready_) return;  // superseded by a later search
    rows = std::move(search_rows_);
    search_rows_.clear();
    search_ready_ = false;
  }
  if (search_thread_.joinable()) search_thread_.join();
  search_cancel_.reset();

  const QString format = QStringLiteral("yyyyMMdd HH:mm:ss");
  list_->setUpdatesEnabled(false);
  for (const RecordFileEntry& e : rows) {
    list_->addRow({QString::number(list_->rowCount() + 1), e.path, QString::number(e.channel),
                   Text(e.kind == RecordKind::kNormal ? 150 : 151), e.created.toString(format),
                   e.written.toString(format)});
  }
  list_->setUpdatesEnabled(true);
  emit searchFinished(list_->rowCount());
}

// ---- Opening and closing ---------------------------------------------------------

void CReplayDlg::OnRowActivated(int row) {
  const QStringList texts = list_->rowTexts(row);
  if (texts.size() > 1) OpenFile(texts[1]);
}

void CReplayDlg::OnOpen() {
  const QString path = chooser_ ? chooser_(this) : QString();
  if (!path.isEmpty()) OpenFile(path);
}

void CReplayDlg::OnFileDropped(const QString& path) {
  OpenFile(path);
}

bool CReplayDlg::OpenFile(const QString& path) {
  CloseFile();
  update();
  // A file that vanished since the search (or any unreadable one) is refused
  // by the library: the dialog stays without a file.
  const std::string name = ToAnsi(path, kMaxOpenBytes);
  const uint32_t handle = name.empty() ? 0 : QRNET_OpenFile(name.c_str(), video_->hostId(), 0);
  if (handle == 0) {
    Message(140);
    return false;
  }
  handle_ = handle;
  QRNET_ClientStopAudio(handle_);  // files start silent
  file_name_->setText(path);
  file_name_->setToolTip(path);
  total_ = QRNET_ReplayTotalTime(handle_);
  position_->setText(QStringLiteral("00:00/") + Clock(total_));
  slider_->setRange(0, total_);
  slider_->setValue(0);
  play_pane_->setTotal(uint32_t(total_));
  play_pane_->setPosition(0);
  timer_->start();
  sound_ = false;
  paused_ = false;
  dragging_ = false;
  SetSoundIcon(false);
  return true;
}

void CReplayDlg::CloseFile() {
  if (handle_ == 0) return;
  QRNET_ClientRefreshWnd(handle_);
  QRNET_CloseFile(handle_);
  handle_ = 0;
  video_->clearPicture();
  timer_->stop();
  position_->setText(QStringLiteral("00:00/00:00"));
}

void CReplayDlg::OnStop() {
  CloseFile();
  update();
  slider_->setValue(0);
  play_pane_->setPosition(0);
}

// ---- While playing -------------------------------------------------------------------

void CReplayDlg::ShowPosition(int32_t seconds) {
  position_->setText(Clock(seconds) + u'/' + Clock(total_));
}

void CReplayDlg::OnTimer() {
  if (handle_ == 0 || dragging_) return;
  const int32_t position = QRNET_ReplayCurTime(handle_);
  slider_->setValue(position);
  play_pane_->setPosition(uint32_t(std::max(position, 0)));
  ShowPosition(position);
}

// Every scroll of the slider: pause on the first one, seek to the new
// position. A drag ends with the release; a click on the track or a key is
// a scroll that ends at once.
void CReplayDlg::OnSliderAction(int action) {
  if (handle_ == 0 || action == QAbstractSlider::SliderNoAction) return;
  if (!dragging_) QRNET_ReplayPause(handle_);
  const int position = slider_->sliderPosition();
  QRNET_ReplaySeek(handle_, position);
  ShowPosition(position);
  if (slider_->isSliderDown()) {
    dragging_ = true;
  } else {
    dragging_ = true;
    OnSliderReleased();
  }
}

void CReplayDlg::OnSliderReleased() {
  if (!dragging_) return;
  dragging_ = false;
  if (handle_ != 0 && !paused_) QRNET_ReplayContinue(handle_);
}

void CReplayDlg::OnPlayPaneSeek(uint32_t second) {
  if (handle_ == 0) return;
  QRNET_ReplaySeek(handle_, int32_t(std::min<uint32_t>(second, INT32_MAX)));
  play_pane_->setPosition(second);
  play_pane_->repaint();
}

void CReplayDlg::OnFast() {
  if (handle_ != 0) QRNET_SpeedFast(handle_);
}

void CReplayDlg::OnSlow() {
  if (handle_ != 0) QRNET_SpeedSlow(handle_);
}

void CReplayDlg::OnContinue() {
  if (handle_ == 0) return;
  QRNET_ReplayContinue(handle_);
  paused_ = false;
}

void CReplayDlg::OnPause() {
  if (handle_ == 0) return;
  QRNET_ReplayPause(handle_);
  paused_ = true;
}

void CReplayDlg::OnStep() {
  if (handle_ != 0) QRNET_ReplayStepByStep(handle_, 1, 0);
}

void CReplayDlg::SetSoundIcon(bool on) {
  sound_btn_->setButtonIcon(MakeIcon(on ? 141 : 142));
}

void CReplayDlg::OnSound() {
  if (handle_ == 0) return;
  if (sound_) {
    if (QRNET_ClientStopAudio(handle_) != 0) {
      SetSoundIcon(false);
      sound_ = false;
    } else {
      Message(152);
    }
  } else {
    if (QRNET_ClientPlayAudio(handle_) != 0) {
      SetSoundIcon(true);
      sound_ = true;
    } else {
      Message(153);
    }
  }
}

void CReplayDlg::OnSnapshot() {
  if (handle_ == 0) return;
  const QString folder = ReadReplayCaptureFolder();
  const qrplat::LocalTime now = qrplat::GetLocalTime();
  // An over-long name is refused (empty) rather than cut.
  const std::string path = ReplaySnapshotPath(folder, now, qrplat::TickCount());
  if (!path.empty()) QRNET_ClientCapturePicture(handle_, path.c_str());
  if (folder != last_snapshot_folder_) {
    // The day folder is shown once per capture folder.
    last_snapshot_folder_ = folder;
    const QString native = NativePath(ReplaySnapshotDayFolder(folder, now));
    if (!native.isEmpty() && shell_) shell_(QUrl::fromLocalFile(native));
  }
}

// ---- Enlarged view -------------------------------------------------------------------------

bool CReplayDlg::videoPaneVisible() const {
  return video_pane_ && video_pane_->isVisible();
}

void CReplayDlg::ShowVideoPane() {
  if (!video_pane_) return;
  if (video_pane_->isVisible()) {
    video_pane_->close();  // a second double click gives the area back
    return;
  }
  video_slot_->Release(video_);
  video_pane_->Take(video_);
  if (handle_ != 0) QRNET_ClientRefreshWnd(handle_);
  video_pane_->showMaximized();
}

void CReplayDlg::RestoreVideoArea() {
  if (!video_pane_ || video_->parentWidget() == video_slot_) return;
  video_pane_->Give(video_);
  video_slot_->Hold(video_);
  if (handle_ != 0) QRNET_ClientRefreshWnd(handle_);
}

}  // namespace quorpane
