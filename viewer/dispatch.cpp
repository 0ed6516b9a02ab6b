// The automation surface: names, dispatch identifiers, argument types and the
// calls behind Invoke.
#include <QString>
#include <algorithm>
#include <functional>

#include "quorvex/quorvex.h"
#include "quorvex/quorvex_ctrl.h"

namespace quorvex {

namespace {

using Args = std::vector<Variant>;
using Call = std::function<Variant(CQuorvexCtrl&, const Args&)>;
using Put = std::function<void(CQuorvexCtrl&, const Variant&)>;

struct Member {
  MemberInfo info;
  Call call;  // method, or property get
  Put put;    // property put
};

constexpr VarType I2 = VarType::I2, I4 = VarType::I4, UI1 = VarType::UI1, UI4 = VarType::UI4,
                  BOOL = VarType::Bool, BSTR = VarType::Bstr, VOID = VarType::Empty;

QString Text(const Variant& v) {
  return v.null_str ? QString() : QString::fromStdU16String(v.str);
}
Variant TextResult(const QString& s) {
  return Variant::Bstr(s.toStdU16String());
}
int32_t N(const Variant& v) {
  return int32_t(v.num);
}

#define QRVX_METHOD(id, name, args, result, body)       \
  Member {                                              \
    {id, #name, false, args, result},                   \
        [](CQuorvexCtrl& c, const Args& a) -> Variant { \
          (void)a;                                      \
          body;                                         \
        },                                              \
        nullptr                                         \
  }

const std::vector<Member>& Members() {
  static const std::vector<Member> members = [] {
    std::vector<Member> m;
    auto prop = [&m](int32_t id, const char* name, VarType type, Call get, Put put) {
      m.push_back(Member{{id, name, true, {}, type}, std::move(get), std::move(put)});
    };
    prop(
        dispid::url, "url", BSTR,
        [](CQuorvexCtrl& c, const Args&) { return TextResult(c.getUrl()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setUrl(Text(v)); });
    prop(
        dispid::channel, "channel", UI4,
        [](CQuorvexCtrl& c, const Args&) { return Variant::UI4(c.getChannel()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setChannel(uint32_t(v.num)); });
    prop(
        dispid::ShowMDRegion, "ShowMDRegion", UI4,
        [](CQuorvexCtrl& c, const Args&) { return Variant::UI4(c.getShowMDRegion()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setShowMDRegion(uint32_t(v.num)); });
    prop(
        dispid::VFlip, "VFlip", UI4,
        [](CQuorvexCtrl& c, const Args&) { return Variant::UI4(c.getVFlip()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setVFlip(uint32_t(v.num)); });
    prop(
        dispid::Rotate180, "Rotate180", UI4,
        [](CQuorvexCtrl& c, const Args&) { return Variant::UI4(c.getRotate180()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setRotate180(uint32_t(v.num)); });
    prop(
        dispid::User, "User", BSTR,
        [](CQuorvexCtrl& c, const Args&) { return TextResult(c.getUser()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setUser(Text(v)); });
    prop(
        dispid::Password, "Password", BSTR,
        [](CQuorvexCtrl& c, const Args&) { return TextResult(c.getPassword()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setPassword(Text(v)); });
    prop(
        dispid::Language, "Language", I4,
        [](CQuorvexCtrl& c, const Args&) { return Variant::I4(c.getLanguage()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setLanguage(N(v)); });
    prop(
        dispid::ocxid, "ocxid", I4,
        [](CQuorvexCtrl& c, const Args&) { return Variant::I4(c.getOcxid()); },
        [](CQuorvexCtrl& c, const Variant& v) { c.setOcxid(N(v)); });

    using V = std::vector<VarType>;
    m.push_back(
        QRVX_METHOD(dispid::StartView, StartView, V{}, I4, return Variant::I4(c.StartView())));
    m.push_back(QRVX_METHOD(dispid::StopView, StopView, V{}, VOID, c.StopView(); return Variant()));
    m.push_back(
        QRVX_METHOD(dispid::FullScreen, FullScreen, V{}, VOID, c.FullScreen(); return Variant()));
    m.push_back(
        QRVX_METHOD(dispid::StartRecord, StartRecord, (V{BSTR, UI4, UI1}), I4,
                    return Variant::I4(c.StartRecord(Text(a[0]), uint32_t(a[1].num), N(a[2])))));
    m.push_back(
        QRVX_METHOD(dispid::StopRecord, StopRecord, V{}, VOID, c.StopRecord(); return Variant()));
    m.push_back(QRVX_METHOD(dispid::PTZCtrl, PTZCtrl, (V{I4, I4}), I4,
                            return Variant::I4(c.PTZCtrl(N(a[0]), N(a[1])))));
    m.push_back(QRVX_METHOD(dispid::EditMDRegion, EditMDRegion, V{I4}, I4,
                            return Variant::I4(c.EditMDRegion(N(a[0])))));
    m.push_back(QRVX_METHOD(dispid::RemoveMDRegion, RemoveMDRegion, V{I4}, I4,
                            return Variant::I4(c.RemoveMDRegion(N(a[0])))));
    m.push_back(QRVX_METHOD(dispid::SetMDRegionSensitive, SetMDRegionSensitive, (V{I4, I4}), I4,
                            return Variant::I4(c.SetMDRegionSensitive(N(a[0]), N(a[1])))));
    m.push_back(QRVX_METHOD(dispid::GetMDRegionSensitive, GetMDRegionSensitive, V{I4}, I2,
                            return Variant::I2(int16_t(c.GetMDRegionSensitive(N(a[0]))))));
    m.push_back(QRVX_METHOD(dispid::SaveMDInfo, SaveMDInfo, V{I4}, I4,
                            return Variant::I4(c.SaveMDInfo(N(a[0])))));
    m.push_back(QRVX_METHOD(dispid::StartMD, StartMD, V{}, I4, return Variant::I4(c.StartMD())));
    m.push_back(QRVX_METHOD(dispid::StopMD, StopMD, V{}, I4, return Variant::I4(c.StopMD())));
    m.push_back(QRVX_METHOD(dispid::StopAlarm, StopAlarm, V{UI4}, I4,
                            return Variant::I4(c.StopAlarm(uint32_t(a[0].num)))));
    m.push_back(QRVX_METHOD(
        dispid::VideoParamAdjust, VideoParamAdjust, (V{UI1, UI1, UI1, UI4}), I4,
        return Variant::I4(c.VideoParamAdjust(N(a[0]), N(a[1]), N(a[2]), uint32_t(a[3].num)))));
    m.push_back(QRVX_METHOD(dispid::CaptureBMP, CaptureBMP, V{BSTR}, I4,
                            return Variant::I4(c.CaptureBMP(Text(a[0])))));
    m.push_back(QRVX_METHOD(dispid::SoundOn, SoundOn, V{}, I4, return Variant::I4(c.SoundOn())));
    m.push_back(QRVX_METHOD(dispid::SoundOff, SoundOff, V{}, I4, return Variant::I4(c.SoundOff())));
    m.push_back(QRVX_METHOD(dispid::PopupConfigDlg, PopupConfigDlg, V{}, VOID, c.PopupConfigDlg();
                            return Variant()));
    m.push_back(QRVX_METHOD(dispid::StartupPlayback, StartupPlayback, V{I4}, VOID,
                            c.StartupPlayback(N(a[0]));
                            return Variant()));
    m.push_back(QRVX_METHOD(dispid::VideoParamGet, VideoParamGet, V{}, I4,
                            return Variant::I4(c.VideoParamGet())));
    m.push_back(
        QRVX_METHOD(dispid::StartTalk, StartTalk, V{}, I4, return Variant::I4(c.StartTalk())));
    m.push_back(QRVX_METHOD(dispid::StopTalk, StopTalk, V{}, VOID, c.StopTalk(); return Variant()));
    m.push_back(
        QRVX_METHOD(dispid::IsUpdateDecoder, IsUpdateDecoder, (V{I2, I2, I2, I2}), I4,
                    return Variant::I4(c.IsUpdateDecoder(N(a[0]), N(a[1]), N(a[2]), N(a[3])))));
    m.push_back(QRVX_METHOD(
        dispid::DownloadDecoder, DownloadDecoder, (V{BSTR, I4, BSTR, BSTR}), I4,
        return Variant::I4(c.DownloadDecoder(Text(a[0]), N(a[1]), Text(a[2]), Text(a[3])))));
    m.push_back(QRVX_METHOD(
        dispid::ModifyUserPsw, ModifyUserPsw, (V{BSTR, BSTR, BSTR, BSTR}), I4,
        return Variant::I4(c.ModifyUserPsw(Text(a[0]), Text(a[1]), Text(a[2]), Text(a[3])))));
    m.push_back(QRVX_METHOD(dispid::OpenFile, OpenFile, V{BSTR}, BOOL,
                            return Variant::Bool(c.OpenFile(Text(a[0])))));
    m.push_back(
        QRVX_METHOD(dispid::CloseFile, CloseFile, V{}, BOOL, return Variant::Bool(c.CloseFile())));
    m.push_back(QRVX_METHOD(dispid::GetFileTime, GetFileTime, V{}, UI4,
                            return Variant::UI4(c.GetFileTime())));
    m.push_back(QRVX_METHOD(dispid::GetReplayTime, GetReplayTime, V{}, UI4,
                            return Variant::UI4(c.GetReplayTime())));
    m.push_back(QRVX_METHOD(dispid::SetReplayTime, SetReplayTime, V{UI4}, BOOL,
                            return Variant::Bool(c.SetReplayTime(uint32_t(a[0].num)))));
    m.push_back(QRVX_METHOD(dispid::ReplayPause, ReplayPause, V{UI4}, BOOL,
                            return Variant::Bool(c.ReplayPause(uint32_t(a[0].num)))));
    m.push_back(QRVX_METHOD(dispid::ReplayFast, ReplayFast, V{}, BOOL,
                            return Variant::Bool(c.ReplayFast())));
    m.push_back(QRVX_METHOD(dispid::ReplaySlow, ReplaySlow, V{}, BOOL,
                            return Variant::Bool(c.ReplaySlow())));
    m.push_back(QRVX_METHOD(dispid::ReplayNormal, ReplayNormal, V{}, BOOL,
                            return Variant::Bool(c.ReplayNormal())));
    m.push_back(QRVX_METHOD(dispid::SetVertBlank, SetVertBlank, V{UI4}, I4,
                            return Variant::I4(c.SetVertBlank(uint32_t(a[0].num)))));
    m.push_back(QRVX_METHOD(dispid::IsUpdateOcx, IsUpdateOcx, (V{I2, I2, I2, I2}), I4,
                            return Variant::I4(c.IsUpdateOcx(N(a[0]), N(a[1]), N(a[2]), N(a[3])))));
    m.push_back(QRVX_METHOD(dispid::Start3DPosity, Start3DPosity, V{}, VOID, c.Start3DPosity();
                            return Variant()));
    m.push_back(QRVX_METHOD(dispid::Stop3DPosity, Stop3DPosity, V{}, VOID, c.Stop3DPosity();
                            return Variant()));
    m.push_back(
        QRVX_METHOD(dispid::StartCoverPosity, StartCoverPosity, V{}, VOID, c.StartCoverPosity();
                    return Variant()));
    m.push_back(
        QRVX_METHOD(dispid::StopCoverPosity, StopCoverPosity, V{}, VOID, c.StopCoverPosity();
                    return Variant()));
    m.push_back(QRVX_METHOD(dispid::AddCoverPosity, AddCoverPosity, V{}, VOID, c.AddCoverPosity();
                            return Variant()));
    m.push_back(QRVX_METHOD(dispid::EditCovery, EditCovery, V{I4}, VOID, c.EditCovery(N(a[0]));
                            return Variant()));
    m.push_back(
        QRVX_METHOD(dispid::DeleteCovery, DeleteCovery, V{I4}, VOID, c.DeleteCovery(N(a[0]));
                    return Variant()));
    m.push_back(QRVX_METHOD(dispid::LoadCoveryPosity, LoadCoveryPosity, V{BSTR}, VOID,
                            c.LoadCoveryPosity(Text(a[0]));
                            return Variant()));
    m.push_back(QRVX_METHOD(dispid::SaveAllMDInfo, SaveAllMDInfo, V{BSTR}, VOID,
                            c.SaveAllMDInfo(Text(a[0]));
                            return Variant()));
    m.push_back(QRVX_METHOD(dispid::SearchRecordFile, SearchRecordFile, V{BSTR}, VOID,
                            c.SearchRecordFile(Text(a[0]));
                            return Variant()));
    std::sort(m.begin(), m.end(),
              [](const Member& x, const Member& y) { return x.info.dispid < y.info.dispid; });
    return m;
  }();
  return members;
}

const Member* Find(int32_t id) {
  for (const Member& m : Members())
    if (m.info.dispid == id) return &m;
  return nullptr;
}

// Converts `in` to `type` as an automation type change would for the types
// we use. False for a mismatch.
bool Coerce(const Variant& in, VarType type, Variant* out) {
  if (type == VarType::Bstr) {
    if (in.vt != VarType::Bstr) return false;
    *out = in;
    return true;
  }
  if (in.vt == VarType::Bstr || in.vt == VarType::Empty) return false;
  const int64_t v = in.num;
  switch (type) {
    case VarType::I2:
      *out = Variant::I2(int16_t(v));
      return true;
    case VarType::I4:
      *out = Variant::I4(int32_t(v));
      return true;
    case VarType::UI1:
      *out = Variant::UI1(uint8_t(v));
      return true;
    case VarType::UI4:
      *out = Variant::UI4(uint32_t(v));
      return true;
    case VarType::Bool:
      *out = Variant::Bool(v != 0);
      return true;
    default:
      return false;
  }
}

}  // namespace

const std::vector<MemberInfo>& DispatchMembers() {
  static const std::vector<MemberInfo> infos = [] {
    std::vector<MemberInfo> v;
    for (const Member& m : Members()) v.push_back(m.info);
    return v;
  }();
  return infos;
}

const std::vector<MemberInfo>& EventMembers() {
  static const std::vector<MemberInfo> events = {
      {eventid::ClickSel, "ClickSel", false, {BSTR, I4}, VOID},
      {eventid::MDNotify, "MDNotify", false, {I4, UI4}, VOID},
      {eventid::VPNotify, "VPNotify", false, {I4, UI1, UI1, UI1}, VOID},
      {eventid::LinkState, "LinkState", false, {I4, UI1}, VOID},
      {eventid::AlarmNotify, "AlarmNotify", false, {I4, UI4}, VOID},
      {eventid::EventNotify, "EventNotify", false, {I4, I4, I4}, VOID},
      {eventid::AddCoveryNotify, "AddCoveryNotify", false, {I4, BSTR}, VOID},
      {eventid::SelCoveryNotify, "SelCoveryNotify", false, {I4, I4}, I4},
      {eventid::SearchRecordFileNotify, "SearchRecordFileNotify", false, {I4, BSTR}, I4},
  };
  return events;
}

HRESULT CQuorvexCtrl::GetIDsOfNames(const std::vector<std::u16string>& names,
                                    std::vector<int32_t>* ids) const {
  if (ids == nullptr) return kE_INVALIDARG;
  ids->assign(names.size(), kDISPID_UNKNOWN);
  if (names.empty()) return kS_OK;
  const QString wanted = QString::fromStdU16String(names[0]);
  for (const Member& m : Members()) {
    if (wanted.compare(QLatin1String(m.info.name), Qt::CaseInsensitive) == 0) {
      (*ids)[0] = m.info.dispid;
      // Named arguments are not supported: any further name is unknown.
      return names.size() == 1 ? kS_OK : kDISP_E_UNKNOWNNAME;
    }
  }
  return kDISP_E_UNKNOWNNAME;
}

HRESULT CQuorvexCtrl::Invoke(int32_t id, uint16_t flags, const std::vector<Variant>& args,
                             Variant* result) {
  const Member* m = Find(id);
  if (m == nullptr) return kDISP_E_MEMBERNOTFOUND;
  Variant ignored;
  Variant& out = result != nullptr ? *result : ignored;
  out = Variant();
  if (m->info.property) {
    if (flags & kDispatchPropertyPut) {
      if (args.size() != 1) return kDISP_E_BADPARAMCOUNT;
      Variant value;
      if (!Coerce(args[0], m->info.result, &value)) return kDISP_E_TYPEMISMATCH;
      m->put(*this, value);
      return kS_OK;
    }
    if (flags & kDispatchPropertyGet) {
      if (!args.empty()) return kDISP_E_BADPARAMCOUNT;
      out = m->call(*this, {});
      return kS_OK;
    }
    return kDISP_E_MEMBERNOTFOUND;
  }
  if (!(flags & kDispatchMethod)) return kDISP_E_MEMBERNOTFOUND;
  if (args.size() != m->info.args.size()) return kDISP_E_BADPARAMCOUNT;
  std::vector<Variant> converted(args.size());
  for (size_t i = 0; i < args.size(); ++i)
    if (!Coerce(args[i], m->info.args[i], &converted[i])) return kDISP_E_TYPEMISMATCH;
  out = m->call(*this, converted);
  return kS_OK;
}

}  // namespace quorvex
