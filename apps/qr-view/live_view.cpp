#include "live_view.h"

namespace qrview {

QString LinkStateText(int32_t state) {
  switch (state) {
    case 1:
      return QStringLiteral("Connecting...");
    case 2:
      return QStringLiteral("Connecting..");
    case 3:
      return QStringLiteral("Disconnected");
    case 4:
      return QStringLiteral("Reconnect");
    case 5:
      // The source gave up and will not try again: saying "Connecting..."
      // here would promise a picture that never comes.
      return QStringLiteral("Disconnected");
    default:
      return QString();
  }
}

LiveView::LiveView(quorvex::CQuorvexCtrl* control, QObject* parent)
    : QObject(parent), control_(control) {
  if (control_) {
    control_->Advise(this, &cookie_);
    connect(control_, &quorvex::CQuorvexCtrl::videoUnsupported, this, &LiveView::videoUnsupported);
  }
}

LiveView::~LiveView() {
  Stop();
  if (control_ && cookie_ != 0) control_->Unadvise(cookie_);
}

quorvex::Variant LiveView::Call(const char* name, const std::vector<quorvex::Variant>& args) {
  quorvex::Variant result;
  if (!control_) return result;
  std::vector<int32_t> ids;
  if (control_->GetIDsOfNames({QString::fromLatin1(name).toStdU16String()}, &ids) != quorvex::kS_OK)
    return result;
  control_->Invoke(ids[0], quorvex::kDispatchMethod, args, &result);
  return result;
}

void LiveView::Put(const char* name, const quorvex::Variant& value) {
  if (!control_) return;
  std::vector<int32_t> ids;
  if (control_->GetIDsOfNames({QString::fromLatin1(name).toStdU16String()}, &ids) != quorvex::kS_OK)
    return;
  quorvex::Variant unused;
  control_->Invoke(ids[0], quorvex::kDispatchPropertyPut, {value}, &unused);
}

bool LiveView::Start(const ViewerOptions& options) {
  Stop();
  if (!control_) return false;
  // The transport has no automation property; the control takes it from
  // its C++ host.
  control_->setTransport(options.transport);
  Put("url", quorvex::Variant::Bstr(options.address.toStdU16String()));
  Put("channel", quorvex::Variant::UI4(uint32_t(options.channel)));
  Put("User", quorvex::Variant::Bstr(options.user.toStdU16String()));
  Put("Password", quorvex::Variant::Bstr(options.password.toStdU16String()));
  link_state_ = 1;
  if (Call("StartView").num != 1) return false;
  Call("SoundOn");
  return true;
}

void LiveView::Stop() {
  if (handle() == 0) return;
  Call("StopRecord");
  Call("StopView");
}

uint32_t LiveView::handle() const {
  return control_ ? control_->clientHandle() : 0;
}

bool LiveView::StartRecord() {
  return Call("StartRecord",
              {quorvex::Variant::Bstr(u""), quorvex::Variant::UI4(0), quorvex::Variant::UI1(0)})
             .num != 0;
}

void LiveView::StopRecord() {
  Call("StopRecord");
}

bool LiveView::Snapshot() {
  return Call("CaptureBMP", {quorvex::Variant::Bstr(u"")}).num != 0;
}

void LiveView::ConfigDialog() {
  Call("PopupConfigDlg");
}

void LiveView::ReplayDialog() {
  const int32_t language = control_ ? control_->getLanguage() : 1;
  Call("StartupPlayback", {quorvex::Variant::I4(language)});
}

quorvex::HRESULT LiveView::Invoke(int32_t event_id, const std::vector<quorvex::Variant>& args,
                                  quorvex::Variant*) {
  if (event_id == quorvex::eventid::LinkState && args.size() == 2) {
    link_state_ = int32_t(args[1].num);
    emit linkStateReported(link_state_);
  }
  return quorvex::kS_OK;
}

}  // namespace qrview
