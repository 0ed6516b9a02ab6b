// The viewer control: state, lifetime, live view orchestration, painting,
// mouse input, motion regions, covers, zoom and the thin library calls.
#include "quorvex/quorvex_ctrl.h"

#include <QActionGroup>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cstring>

#include "eptz_zoom.h"
#include "qrplat/drives.h"
#include "qrplat/thread.h"
#include "quorpane/components.h"
#include "quorpane/record_search.h"
#include "quorpane/settings_store.h"
#include "quorpane/window_message.h"

namespace quorvex {

namespace {

const QColor kDark(10, 10, 10);

// Texts drawn for link states 1..5 (state 0 is never drawn).
const char* const kLinkTexts[6] = {"Connected",    "Connecting...", "Connecting..",
                                   "Disconnected", "Reconnect",     "Connecting..."};

// Context menu commands.
constexpr int kCmdPrimary = 32772;
constexpr int kCmdSecondary = 32773;

template <size_t N>
void CopyField(const std::string& text, char (&field)[N]) {
  if (text.size() >= N) return;  // never cut; ToAnsi already emptied over-long texts
  std::memcpy(field, text.data(), text.size());
}

// "%d,%d,...,%d" (16 values) as the format would read it: leading blanks
// before each number, an optional sign, digits; reading stops at the first
// mismatch and missing values stay 0. Values beyond 32 bits saturate instead
// of overflowing.
std::array<int32_t, 16> ParseSixteen(const QString& text) {
  std::array<int32_t, 16> values{};
  const std::string s = quorpane::ToAnsi(text, 254);
  size_t i = 0;
  for (int k = 0; k < 16; ++k) {
    if (k > 0) {
      if (i >= s.size() || s[i] != ',') break;
      ++i;
    }
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i >= s.size() || s[i] < '0' || s[i] > '9') break;
    int64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      v = std::min<int64_t>(v * 10 + (s[i] - '0'), int64_t(1) << 32);
      ++i;
    }
    if (negative) v = -v;
    values[k] = int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  }
  return values;
}

// Automatic record names have a resolution of one second: a segment that
// restarts within the second of the previous start (a stream that changed
// format on reconnection) would overwrite the file just finished. Such a
// name gets "_1", "_2", ... before ".avi".
std::string UnusedRecordPath(const std::string& path) {
  if (path.empty() || !qrplat::FileExists(path)) return path;
  const size_t dot = path.rfind('.');
  const std::string stem = dot == std::string::npos ? path : path.substr(0, dot);
  const std::string ext = dot == std::string::npos ? std::string() : path.substr(dot);
  for (int i = 1; i < 1000; ++i) {
    std::string candidate = stem + "_" + std::to_string(i) + ext;
    if (candidate.size() > quorpane::kMaxPathBytes) return std::string();
    if (!qrplat::FileExists(candidate)) return candidate;
  }
  return std::string();
}

int16_t AsShort(int v) {
  return int16_t(std::clamp(v, -32768, 32767));
}

}  // namespace

// ---- Lifetime ---------------------------------------------------------------

CQuorvexCtrl::CQuorvexCtrl(QWidget* parent) : QrVideoWidget(parent) {
  setMouseTracking(true);
  for (auto& cover : covers_) cover = std::make_unique<quorpane::CCoverCtrl>();
  QRNET_Startup(0, 0, nullptr, 0);
  QRNET_SetWaitTime(5, -1, 10);
  zoom_ = std::make_unique<CEptzZoom>();
  zoom_->Start();
  connect(this, &QrVideoWidget::windowMessage, this, &CQuorvexCtrl::OnWindowMessage);
}

CQuorvexCtrl::~CQuorvexCtrl() {
  sinks_.clear();  // nothing is fired while the control goes away
  OnClose();
  if (menu_) delete menu_.data();
  zoom_->Quit();
  zoom_->Wait();
  zoom_.reset();
  QRNET_Cleanup();
  for (auto& cover : covers_) cover.reset();
}

void CQuorvexCtrl::OnClose() {
  StopView();
  CloseFile();
}

// ---- Properties with side effects -------------------------------------------

void CQuorvexCtrl::setShowMDRegion(uint v) {
  show_md_region_ = v;
  if (handle_ != 0) QRNET_ClientShowMDRegion(handle_, int32_t(v | 2));
}
void CQuorvexCtrl::setVFlip(uint v) {
  vflip_ = v;
  if (handle_ != 0) QRNET_ClientVerticalFlip(handle_, int32_t(v));
}
void CQuorvexCtrl::setRotate180(uint v) {
  rotate180_ = v;
  if (handle_ != 0) QRNET_ClientRotate180(handle_, int32_t(v));
}

// ---- Events -------------------------------------------------------------------

bool CQuorvexCtrl::Fire(int32_t event_id, const std::vector<Variant>& args) {
  QPointer<CQuorvexCtrl> self(this);
  // A sink may advise, unadvise or call back into the control: iterate over
  // a snapshot and skip sinks unadvised meanwhile.
  const std::vector<SinkEntry> snapshot = sinks_;
  for (const SinkEntry& entry : snapshot) {
    bool still = false;
    for (const SinkEntry& e : sinks_) still = still || e.cookie == entry.cookie;
    if (!still) continue;
    Variant ignored;
    entry.sink->Invoke(event_id, args, &ignored);
    if (!self) return false;
  }
  auto text = [&](size_t i) { return QString::fromStdU16String(args[i].str); };
  auto num = [&](size_t i) { return args[i].num; };
  switch (event_id) {
    case eventid::ClickSel:
      emit ClickSel(text(0), int(num(1)));
      break;
    case eventid::MDNotify:
      emit MDNotify(int(num(0)), uint(num(1)));
      break;
    case eventid::VPNotify:
      emit VPNotify(int(num(0)), int(num(1)), int(num(2)), int(num(3)));
      break;
    case eventid::LinkState:
      emit LinkState(int(num(0)), int(num(1)));
      break;
    case eventid::AlarmNotify:
      emit AlarmNotify(int(num(0)), uint(num(1)));
      break;
    case eventid::EventNotify:
      emit EventNotify(int(num(0)), int(num(1)), int(num(2)));
      break;
    case eventid::AddCoveryNotify:
      emit AddCoveryNotify(int(num(0)), text(1));
      break;
    case eventid::SelCoveryNotify:
      emit SelCoveryNotify(int(num(0)), int(num(1)));
      break;
    case eventid::SearchRecordFileNotify:
      emit SearchRecordFileNotify(int(num(0)), text(1));
      break;
    default:
      break;
  }
  return !self.isNull();
}

HRESULT CQuorvexCtrl::Advise(IQuorvexEvents* sink, uint32_t* cookie) {
  if (sink == nullptr || cookie == nullptr) return kE_INVALIDARG;
  *cookie = next_cookie_++;
  sinks_.push_back({*cookie, sink});
  return kS_OK;
}

HRESULT CQuorvexCtrl::Unadvise(uint32_t cookie) {
  auto it = std::find_if(sinks_.begin(), sinks_.end(),
                         [cookie](const SinkEntry& e) { return e.cookie == cookie; });
  if (it == sinks_.end()) return kCONNECT_E_NOCONNECTION;
  sinks_.erase(it);
  return kS_OK;
}

// ---- Object safety --------------------------------------------------------------

bool CQuorvexCtrl::ImplementsInterface(const char* iid) {
  if (iid == nullptr) return false;
  for (const char* known : {kIID_IUnknown, kIID_IDispatch, kDIID_DQuorvex, kIID_IObjectSafety,
                            kIID_IConnectionPointContainer}) {
    if (QString::fromLatin1(known).compare(QString::fromLatin1(iid), Qt::CaseInsensitive) == 0)
      return true;
  }
  return false;
}

HRESULT CQuorvexCtrl::GetInterfaceSafetyOptions(const char* iid, uint32_t* supported,
                                                uint32_t* enabled) const {
  const uint32_t both = kINTERFACESAFE_FOR_UNTRUSTED_CALLER | kINTERFACESAFE_FOR_UNTRUSTED_DATA;
  if (supported != nullptr) *supported = both;
  if (enabled != nullptr) *enabled = both;
  return ImplementsInterface(iid) ? kS_OK : kE_NOINTERFACE;
}

HRESULT CQuorvexCtrl::SetInterfaceSafetyOptions(const char* iid, uint32_t mask,
                                                uint32_t enabled) const {
  if (!ImplementsInterface(iid)) return kE_NOINTERFACE;
  const uint32_t both = kINTERFACESAFE_FOR_UNTRUSTED_CALLER | kINTERFACESAFE_FOR_UNTRUSTED_DATA;
  if ((mask & ~both) == 0 && (mask & enabled) == mask) return kS_OK;
  return kE_FAIL;
}

// ---- Reference frame ----------------------------------------------------------------

// Window to frame: truncated towards zero. A window of zero width or height
// maps everything to 0 instead of dividing by zero; points outside the
// window are clamped to the frame.
int CQuorvexCtrl::ToFrameX(int x) const {
  if (width() <= 0) return 0;
  return std::clamp(int(x * double(kFrameWidth) / width()), 0, kFrameWidth);
}
int CQuorvexCtrl::ToFrameY(int y) const {
  if (height() <= 0) return 0;
  return std::clamp(int(y * double(kFrameHeight) / height()), 0, kFrameHeight);
}
// Frame to window in 64 bits: values come from the page and may be large.
int CQuorvexCtrl::ToWindowX(int x) const {
  return int(std::clamp<int64_t>(int64_t(x) * width() / kFrameWidth, INT32_MIN, INT32_MAX));
}
int CQuorvexCtrl::ToWindowY(int y) const {
  return int(std::clamp<int64_t>(int64_t(y) * height() / kFrameHeight, INT32_MIN, INT32_MAX));
}

QPoint CQuorvexCtrl::ClampToClient(QPoint p) const {
  int x = p.x(), y = p.y();
  if (x < 0) x = 5;
  if (y < 0) y = 5;
  if (x >= width()) x = width() - 5;
  if (y >= height()) y = height() - 5;
  return QPoint(x, y);
}

// ---- Start and stop -------------------------------------------------------------

int CQuorvexCtrl::StartView() {
  if (handle_ != 0) return 1;
  live_view_performance_ = quorpane::ReadLiveViewPerformance(live_view_performance_);
  QRNET_ClientParam param;
  std::memset(&param, 0, sizeof param);
  param.transport = transport_;
  param.view_flag = 1;
  param.channel = (ocxid_ >= 1000 || primary_stream_) ? int32_t(channel_) : int32_t(channel_ + 4);
  param.video_window = hostId();
  param.notify_window = hostId();
  param.notify_message = kNotifyMessage;
  param.stream_option = stream_option_;
  param.live_view_performance = live_view_performance_;
  CopyField(quorpane::ToAnsi(url_, 126), param.address);
  CopyField(quorpane::ToAnsi(user_, 31), param.user);
  CopyField(quorpane::ToAnsi(password_, 63), param.password);
  uint32_t handle = 0;
  if (channel_ >= 1000)
    handle = QRNET_ClientStart_Trans(&param, int32_t(channel_ + 1), 1);
  else
    handle = QRNET_ClientStart(&param);
  handle_ = handle;
  if (handle_ == 0) return 0;
  live_view_ = true;
  link_state_ = 1;
  unsupported_video_.clear();
  update();
  return 1;
}

void CQuorvexCtrl::StopView() {
  region_edit_ = false;
  mouse_down_ = false;
  if (!Live()) return;
  const uint32_t handle = handle_;
  // The state is cleared first: a notification handled while the client
  // stops finds no live view.
  handle_ = 0;
  live_view_ = false;
  unsupported_video_.clear();
  zoom_->Command(0, CEptzZoom::kNone, 0);
  QRNET_ClientStop(handle);
  update();
}

// ---- Notifications ----------------------------------------------------------------

void CQuorvexCtrl::OnWindowMessage(uint msg, uint wparam, int lparam) {
  if (msg == kNotifyMessage)
    OnNotification(wparam, lparam);
  else if (msg == quorpane::kMsgCoverSelected)
    OnCoverSelected(wparam);
}

void CQuorvexCtrl::OnNotification(uint kind, int value) {
  // Reports still queued from a client that was stopped are not about the
  // current one.
  if (!Live()) return;
  switch (kind) {
    case 1: {
      if (value < 0 || value > 5) return;
      link_state_ = value;
      // The next stream reports its codec again.
      if (value >= 3) unsupported_video_.clear();
      update();
      if (value == 0) {
        QRNET_ClientShowMDRegion(handle_, int32_t(show_md_region_ | 2));
        QRNET_MDInfo scratch;
        QRNET_ClientGetMDInfo(handle_, &scratch);
        for (auto& cover : covers_)
          if (cover->GetSafeHwnd() != nullptr) cover->ShowWindow(quorpane::kSwShow);
      }
      Fire(eventid::LinkState, {Variant::I4(ocxid_), Variant::UI1(uint8_t(value))});
      return;
    }
    case 2:
      Fire(eventid::MDNotify, {Variant::I4(ocxid_), Variant::UI4(uint32_t(value))});
      return;
    case 4:
      Fire(eventid::AlarmNotify, {Variant::I4(ocxid_), Variant::UI4(uint32_t(value))});
      return;
    case 9: {
      // Reported at every start of a stream whose video cannot be decoded.
      if (value != 255) return;
      char name[32] = {};
      QRNET_ClientGetVideoCodec(handle_, name, int32_t(sizeof name));
      const QString codec = QString::fromLatin1(name).trimmed();
      const QString shown = codec.isEmpty() ? QStringLiteral("?") : codec;
      if (shown == unsupported_video_) return;
      unsupported_video_ = shown;
      update();
      emit videoUnsupported(unsupported_video_);
      return;
    }
    case 6:
      if (value == 4) {
        const uint32_t segment = record_segment_;
        StopRecord();
        StartRecord(QString(), segment, 0);
      }
      return;
    default:
      return;
  }
}

// ---- Painting -------------------------------------------------------------------------

void CQuorvexCtrl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QImage frame = (handle_ != 0 && !region_edit_) ? lastFrame() : QImage();
  if (frame.isNull()) {
    painter.fillRect(rect(), kDark);
  } else if (frame.size() == size()) {
    painter.drawImage(0, 0, frame);
  } else {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), frame);
  }
  if (!region_edit_) {
    painted_text_.clear();
    if (handle_ == 0) return;
    const int32_t state = QRNET_GetClientState(handle_);
    link_state_ = state;
    // The report comes as the stream starts, possibly before the link state
    // says so; a broken link's words take over.
    if (state >= 0 && state <= 2 && !unsupported_video_.isEmpty()) {
      painted_text_ = QStringLiteral("Unsupported video: ") + unsupported_video_;
    } else if (state < 1 || state > 5) {
      return;
    } else {
      painted_text_ = QString::fromLatin1(kLinkTexts[state]);
    }
    painter.setPen(Qt::white);
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, painted_text_);
    return;
  }
  painter.setPen(QPen(QColor(255, 0, 0), 1));
  for (int i = 0; i < 16; ++i) {
    const QRNET_MDRect& r = md_info_.rect[i];
    if (r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0) continue;
    const int l = ToWindowX(r.left), t = ToWindowY(r.top);
    const int rr = ToWindowX(r.right), b = ToWindowY(r.bottom);
    const QFontMetrics metrics(painter.font());
    painter.drawText(l + 5, t + 5 + metrics.ascent(), QString::number(i));
    painter.drawRect(QRect(QPoint(l, t), QPoint(rr, b)));
  }
  if (mouse_down_) painter.drawRect(QRect(drag_start_, drag_current_).normalized());
}

// ---- Mouse ----------------------------------------------------------------------------

void CQuorvexCtrl::mousePressEvent(QMouseEvent* event) {
  const QPoint p(AsShort(event->position().toPoint().x()),
                 AsShort(event->position().toPoint().y()));
  if (event->button() == Qt::LeftButton) {
    drag_start_ = p;
    mouse_down_ = true;
    Fire(eventid::ClickSel, {Variant::Bstr(url_.toStdU16String()), Variant::I4(ocxid_)});
    return;
  }
  if (event->button() == Qt::RightButton && channel_ < 100) ShowContextMenu(p);
}

void CQuorvexCtrl::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p(AsShort(event->position().toPoint().x()),
                 AsShort(event->position().toPoint().y()));
  drag_current_ = p;
  if (!mouse_down_) return;
  const QPoint s = drag_start_, c = drag_current_;
  if (region_armed_) update();
  if (posity_3d_ && handle_ != 0) {
    if (s.x() < c.x() && s.y() < c.y())
      QRNET_SetLocalRect(handle_, s.x(), s.y(), c.x() - s.x(), c.y() - s.y());
    else if (s.x() >= c.x() && s.y() >= c.y())
      QRNET_SetLocalRect(handle_, c.x(), c.y(), s.x() - c.x(), s.y() - c.y());
  }
  if (cover_posity_ && selected_cover_ >= 0 && selected_cover_ <= 3 && c.x() - s.x() > 5 &&
      c.y() - s.y() > 5) {
    quorpane::CCoverCtrl& cover = Cover(selected_cover_);
    if (cover.GetSafeHwnd() != nullptr) {
      cover.MoveWindow(s.x(), s.y(), c.x() - s.x(), c.y() - s.y(), 1);
      cover.ShowWindow(quorpane::kSwShow);
      cover.Invalidate(1);
    }
  }
}

void CQuorvexCtrl::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  drag_current_ =
      QPoint(AsShort(event->position().toPoint().x()), AsShort(event->position().toPoint().y()));
  if (!mouse_down_) return;
  if (region_armed_) {
    const QPoint s = drag_start_;
    const QPoint c = ClampToClient(drag_current_);
    drag_current_ = c;
    if (region_index_ >= 0 && region_index_ <= 15 && s.x() != c.x() && s.y() != c.y()) {
      QRNET_MDRect& r = md_info_.rect[region_index_];
      r.left = ToFrameX(std::min(s.x(), c.x()));
      r.top = ToFrameY(std::min(s.y(), c.y()));
      r.right = ToFrameX(std::max(s.x(), c.x()));
      r.bottom = ToFrameY(std::max(s.y(), c.y()));
    }
    update();
  }
  if (posity_3d_ && handle_ != 0) {
    const QPoint s = drag_start_;
    const QPoint c0 = drag_current_;
    if ((s.x() < c0.x() && s.y() < c0.y()) || (s.x() >= c0.x() && s.y() >= c0.y())) {
      const QPoint c = ClampToClient(c0);
      QRNET_SetLocalRect(handle_, 0, 0, 0, 0);
      QRNET_Set3DPosit(handle_, ToFrameX(s.x()), ToFrameY(s.y()), ToFrameX(c.x()), ToFrameY(c.y()));
    }
  }
  mouse_down_ = false;
}

void CQuorvexCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) FullScreen();
}

void CQuorvexCtrl::ShowContextMenu(QPoint at) {
  if (language_ != 2) language_ = 1;
  const bool english = language_ == 1;
  if (menu_) delete menu_.data();
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  QAction* primary =
      menu->addAction(english ? QStringLiteral("Primary Stream") : QStringLiteral("主码流"));
  QAction* secondary =
      menu->addAction(english ? QStringLiteral("Secondary Stream") : QStringLiteral("子码流"));
  primary->setData(kCmdPrimary);
  secondary->setData(kCmdSecondary);
  primary->setCheckable(true);
  secondary->setCheckable(true);
  const bool primary_checked =
      (ocxid_ < 1000 && primary_stream_) || (ocxid_ >= 1000 && channel_ % 10 == 0);
  primary->setChecked(primary_checked);
  secondary->setChecked(!primary_checked);
  const bool enabled = live_view_ || ocxid_ >= 1000;
  primary->setEnabled(enabled);
  secondary->setEnabled(enabled);
  connect(menu, &QMenu::triggered, this,
          [this](QAction* action) { OnStreamChoice(action->data().toInt() == kCmdPrimary); });
  menu_ = menu;
  menu->popup(mapToGlobal(at));
}

void CQuorvexCtrl::OnStreamChoice(bool primary) {
  if (ocxid_ >= 1000) {
    Fire(eventid::EventNotify, {Variant::I4(ocxid_), Variant::I4(1), Variant::I4(primary ? 0 : 1)});
    return;
  }
  if (primary_stream_ == primary) return;
  primary_stream_ = primary;
  StopView();
  StartView();
}

// ---- Motion regions -------------------------------------------------------------------

bool CQuorvexCtrl::LoadMDInfo() {
  QRNET_MDInfo buffer;
  if (QRNET_ClientGetMDInfo(handle_, &buffer) == 0) return false;
  md_info_ = buffer;
  return true;
}

void CQuorvexCtrl::LeaveRegionEdit() {
  region_edit_ = false;
  region_armed_ = false;
  QRNET_ClientSetWnd(handle_, hostId());
  update();
}

int CQuorvexCtrl::EditMDRegion(int index) {
  if (!Live() || index < 0 || index > 15) return 0;
  if (!region_edit_) {
    if (!LoadMDInfo()) return 0;
    region_edit_ = true;
  }
  region_index_ = index;
  drag_start_ = drag_current_ = QPoint();
  QRNET_ClientSetWnd(handle_, 0);
  update();
  region_armed_ = true;
  return 1;
}

int CQuorvexCtrl::RemoveMDRegion(int index) {
  if (!Live() || index < -1 || index > 15) return 0;
  if (!region_edit_) {
    if (!LoadMDInfo()) return 0;
    region_edit_ = true;
  }
  region_index_ = index;
  drag_start_ = drag_current_ = QPoint();
  if (index == -1)
    std::memset(md_info_.rect, 0, sizeof md_info_.rect);
  else
    md_info_.rect[index] = QRNET_MDRect{0, 0, 0, 0};
  update();
  return 1;
}

int CQuorvexCtrl::SetMDRegionSensitive(int index, int param) {
  if (!Live() || index < 0 || index > 15) return 0;
  if (!region_edit_) {
    if (!LoadMDInfo()) return 0;
    region_edit_ = true;
  }
  md_info_.sensitivity[index] = uint8_t(param & 0xFF);
  return 1;
}

int CQuorvexCtrl::GetMDRegionSensitive(int index) {
  if (!Live() || index < 0 || index > 15) return -1;
  if (!LoadMDInfo()) return 0;
  return md_info_.sensitivity[index];
}

int CQuorvexCtrl::SaveMDInfo(int save) {
  if (!Live() || !region_edit_) return 0;
  LeaveRegionEdit();
  if (save != 0) return QRNET_ClientSaveMDInfo(handle_, &md_info_);
  return 1;
}

void CQuorvexCtrl::SaveAllMDInfo(const QString& sensitive) {
  if (!Live()) return;
  const std::array<int32_t, 16> values = ParseSixteen(sensitive);
  for (int i = 0; i < 16; ++i) md_info_.sensitivity[i] = uint8_t(values[i] & 0xFF);
  if (region_edit_) LeaveRegionEdit();
  QRNET_ClientSaveMDInfo(handle_, &md_info_);
}

int CQuorvexCtrl::StartMD() {
  if (!Live() || !LoadMDInfo()) return 0;
  return QRNET_ClientStartMD(handle_);
}

int CQuorvexCtrl::StopMD() {
  if (!Live()) return 0;
  return QRNET_ClientStopMD(handle_);
}

// ---- Covers ---------------------------------------------------------------------------

quorpane::CCoverCtrl& CQuorvexCtrl::Cover(int index) {
  return *covers_[size_t(index)];
}

bool CQuorvexCtrl::EnsureCoverWindow(int index) {
  quorpane::CCoverCtrl& cover = Cover(index);
  if (cover.GetSafeHwnd() != nullptr) return true;
  if (cover.Create(this, index) == 0) return false;
  cover.SetID(index);
  return true;
}

void CQuorvexCtrl::StartCoverPosity() {
  posity_3d_ = false;
  cover_posity_ = true;
  for (auto& cover : covers_) cover->ReadOnly(0);
}

void CQuorvexCtrl::StopCoverPosity() {
  cover_posity_ = false;
  for (auto& cover : covers_) cover->ReadOnly(1);
}

void CQuorvexCtrl::EditCovery(int index) {
  if (!Live() || index < 0 || index > 3) return;
  if (selected_cover_ >= 0 && selected_cover_ <= 3) Cover(selected_cover_).DeSelect();
  selected_cover_ = index;
  EnsureCoverWindow(index);
  Cover(index).Select();
}

void CQuorvexCtrl::OnCoverSelected(uint id) {
  if (id > 3) return;  // not one of ours
  if (selected_cover_ >= 0 && selected_cover_ <= 3) Cover(selected_cover_).DeSelect();
  selected_cover_ = int32_t(id);
  Cover(int(id)).Select();
  Fire(eventid::SelCoveryNotify, {Variant::I4(ocxid_), Variant::I4(int32_t(id))});
}

void CQuorvexCtrl::DeleteCovery(int index) {
  if (handle_ == 0 || index < 0 || index > 3) return;
  quorpane::CCoverCtrl& cover = Cover(index);
  if (cover.GetSafeHwnd() == nullptr) return;
  cover.MoveWindow(0, 0, 0, 0, 1);
  cover.ShowWindow(quorpane::kSwHide);
}

void CQuorvexCtrl::LoadCoveryPosity(const QString& rect) {
  const std::array<int32_t, 16> v = ParseSixteen(rect);
  for (int i = 0; i < 4; ++i) {
    if (!EnsureCoverWindow(i)) continue;
    const int l = ToWindowX(v[size_t(4 * i)]), t = ToWindowY(v[size_t(4 * i + 1)]);
    const int r = ToWindowX(v[size_t(4 * i + 2)]), b = ToWindowY(v[size_t(4 * i + 3)]);
    quorpane::CCoverCtrl& cover = Cover(i);
    cover.MoveWindow(l, t, r - l, b - t, 1);
    cover.ShowWindow(quorpane::kSwHide);
    cover.ReadOnly(1);
  }
}

void CQuorvexCtrl::AddCoverPosity() {
  if (handle_ == 0) return;
  QStringList groups;
  for (int i = 0; i < 4; ++i) {
    int l = 0, t = 0, r = 0, b = 0;
    if (QWidget* w = Cover(i).GetSafeHwnd()) {
      const QRect g = w->geometry();  // relative to the control's top-left corner
      l = ToFrameX(std::max(g.left(), 0));
      t = ToFrameY(std::max(g.top(), 0));
      r = ToFrameX(std::min(g.left() + g.width(), width()));
      b = ToFrameY(std::min(g.top() + g.height(), height()));
    }
    groups << QStringLiteral("%1,%2,%3,%4").arg(l).arg(t).arg(r).arg(b);
  }
  const QString text = groups.join(QLatin1Char(','));
  Fire(eventid::AddCoveryNotify, {Variant::I4(ocxid_), Variant::Bstr(text.toStdU16String())});
}

void CQuorvexCtrl::Start3DPosity() {
  posity_3d_ = true;
  cover_posity_ = false;
}

void CQuorvexCtrl::Stop3DPosity() {
  posity_3d_ = false;
}

// ---- PTZ and picture ---------------------------------------------------------------

int CQuorvexCtrl::PTZCtrl(int type, int param) {
  if (!Live()) return 0;
  if (type == 0) {
    zoom_->Command(handle_, CEptzZoom::kNone, 0);
    return QRNET_ClientPTZCtrl(handle_, 0, param);
  }
  if (type == CEptzZoom::kZoomIn || type == CEptzZoom::kZoomOut) {
    zoom_->Command(handle_, type, param);
    return 0;
  }
  return QRNET_ClientPTZCtrl(handle_, type, param);
}

int CQuorvexCtrl::StopAlarm(uint device_num) {
  if (!Live()) return 0;
  return QRNET_ClientStopAlarm(handle_, int32_t(device_num));
}

int CQuorvexCtrl::VideoParamAdjust(int brightness, int contrast, int saturation, uint mode) {
  if (!Live()) return 0;
  return QRNET_ClientSetVideoParam(handle_, brightness & 0xFF, contrast & 0xFF, saturation & 0xFF,
                                   int32_t(mode));
}

int CQuorvexCtrl::VideoParamGet() {
  if (!Live() || link_state_ != 0) return 0;
  uint8_t b = 0, c = 0, s = 0;
  const int32_t result = QRNET_ClientGetVideoParam(handle_, &b, &c, &s);
  if (result != 0)
    Fire(eventid::VPNotify,
         {Variant::I4(ocxid_), Variant::UI1(b), Variant::UI1(c), Variant::UI1(s)});
  return result;
}

int CQuorvexCtrl::SoundOn() {
  if (handle_ == 0) return 0;
  return QRNET_ClientPlayAudio(handle_);
}

int CQuorvexCtrl::SoundOff() {
  if (handle_ == 0) return 0;
  return QRNET_ClientStopAudio(handle_);
}

int CQuorvexCtrl::StartTalk() {
  if (!Live()) return 0;
  return QRNET_ClientStartTalk(handle_);
}

void CQuorvexCtrl::StopTalk() {
  if (Live()) QRNET_ClientStopTalk(handle_);
}

// ---- Modal components ----------------------------------------------------------------

void CQuorvexCtrl::FullScreen() {
  if (handle_ == 0 || region_edit_) return;
  const uint32_t handle = handle_;
  {
    quorpane::CFullScreenCtrl full(this, handle);
    full.DoModal();
  }
  // The modal loop ran events: the client may have been stopped meanwhile.
  if (handle_ != handle) return;
  QRNET_ClientSetWnd(handle_, hostId());
  QRNET_ClientRefreshWnd(handle_);
  update();
}

void CQuorvexCtrl::PopupConfigDlg() {
  quorpane::CConfigCtrl config(nullptr, language_);
  if (handle_ == 0) live_view_performance_ = 0;
  const int32_t value = QRNET_GetLiveViewPerformance(handle_, 0);
  config.SetParam(long(handle_), value);
  if (config.DoModal() != 1) return;
  int chosen = live_view_performance_;
  config.GetParam(chosen);
  live_view_performance_ = chosen;
  if (handle_ != 0) QRNET_SetLiveViewPerformance(handle_, live_view_performance_);
}

void CQuorvexCtrl::StartupPlayback(int language) {
  // The locale switch of the calling thread has no counterpart here: texts
  // come from the string table in UTF-8.
  quorpane::CReplayCtrl replay(nullptr, language);
  replay.DoModal();
}

// ---- Recording and snapshots ---------------------------------------------------------

int CQuorvexCtrl::StartRecord(const QString& filename, uint, int loop) {
  if (!Live()) return 0;
  record_segment_ = 1800;
  record_loop_ = uint8_t(loop);
  std::string path;
  if (filename.size() > 3) {
    path = quorpane::ToAnsi(filename, quorpane::kMaxPathBytes);
  } else {
    path = UnusedRecordPath(quorpane::AutomaticRecordPath(
        quorpane::ReadRecordDiskForRecording(), url_, int32_t(channel_), qrplat::GetLocalTime()));
  }
  // An empty path (too long to compose or to pass) is refused here rather
  // than handed on.
  if (path.empty()) return 0;
  return QRNET_ClientStartRecord(handle_, path.c_str(), int32_t(record_segment_));
}

void CQuorvexCtrl::StopRecord() {
  record_loop_ = 0;
  if (Live()) QRNET_ClientStopRecord(handle_);
}

int CQuorvexCtrl::CaptureBMP(const QString& filename) {
  if (handle_ == 0) return 0;
  std::string path;
  if (filename.size() > 3) {
    path = quorpane::ToAnsi(filename, quorpane::kMaxPathBytes);
  } else {
    path = quorpane::AutomaticSnapshotPath(quorpane::ReadCapturePathForSnapshot(), url_,
                                           int32_t(channel_), qrplat::GetLocalTime(),
                                           qrplat::TickCount());
  }
  if (path.empty()) return 0;
  return QRNET_ClientCapturePicture(handle_, path.c_str());
}

void CQuorvexCtrl::SearchRecordFile(const QString& date_time) {
  const std::optional<std::string> result = quorpane::SearchRecordFile(date_time);
  if (!result) return;
  Fire(eventid::SearchRecordFileNotify,
       {Variant::I4(ocxid_), Variant::Bstr(QString::fromStdString(*result).toStdU16String())});
}

// ---- Local files -------------------------------------------------------------------------

bool CQuorvexCtrl::OpenFile(const QString& filename) {
  if (filename.isNull()) return false;
  if (handle_ != 0) {
    if (live_view_) {
      StopView();
    } else {
      QRNET_CloseFile(handle_);
      handle_ = 0;
      update();
    }
  }
  const std::string name = quorpane::ToAnsi(filename, quorpane::kMaxPathBytes);
  handle_ = QRNET_OpenFile(name.c_str(), hostId(), 0);
  live_view_ = false;
  return handle_ != 0;
}

bool CQuorvexCtrl::CloseFile() {
  if (!File()) return false;
  QRNET_CloseFile(handle_);
  handle_ = 0;
  update();
  return true;
}

uint CQuorvexCtrl::GetFileTime() {
  return File() ? uint32_t(QRNET_ReplayTotalTime(handle_)) : 0;
}
uint CQuorvexCtrl::GetReplayTime() {
  return File() ? uint32_t(QRNET_ReplayCurTime(handle_)) : 0;
}
bool CQuorvexCtrl::SetReplayTime(uint second) {
  return File() && QRNET_ReplaySeek(handle_, int32_t(std::min<uint32_t>(second, INT32_MAX))) != 0;
}
bool CQuorvexCtrl::ReplayPause(uint pause) {
  if (!File()) return false;
  return (pause != 0 ? QRNET_ReplayPause(handle_) : QRNET_ReplayContinue(handle_)) != 0;
}
bool CQuorvexCtrl::ReplayFast() {
  return File() && QRNET_SpeedFast(handle_) != 0;
}
bool CQuorvexCtrl::ReplaySlow() {
  return File() && QRNET_SpeedSlow(handle_) != 0;
}
bool CQuorvexCtrl::ReplayNormal() {
  return File() && QRNET_SpeedNormal(handle_) != 0;
}

int CQuorvexCtrl::SetVertBlank(uint param) {
  if (handle_ == 0) return -1;
  QRNET_SetVertBlank(handle_, int32_t(param));
  return 0;
}

// ---- Versions and inert methods --------------------------------------------------------

int CQuorvexCtrl::IsUpdateOcx(int ms_h, int ms_l, int ls_h, int ls_l) {
  const uint32_t high = (uint32_t(uint16_t(ms_h)) << 16) | (uint32_t(ms_l) & 0xFFFF);
  const uint32_t low = (uint32_t(uint16_t(ls_h)) << 16) | (uint32_t(ls_l) & 0xFFFF);
  FileVersion installed;
  if (!ReadOwnFileVersion(&installed)) return 1;
  if (high < installed.ms || (high == installed.ms && low <= installed.ls)) return 0;
  return 1;
}

int CQuorvexCtrl::IsUpdateDecoder(int, int, int, int) {
  return 0;
}
int CQuorvexCtrl::DownloadDecoder(const QString&, int, const QString&, const QString&) {
  return 0;
}
int CQuorvexCtrl::ModifyUserPsw(const QString&, const QString&, const QString&, const QString&) {
  return 0;
}

}  // namespace quorvex
