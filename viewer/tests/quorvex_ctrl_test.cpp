// The viewer control as a page drives it: names through GetIDsOfNames, calls
// through Invoke, events through an advised sink; pictures and commands go
// to and from the device simulator on loopback.
#include "quorvex/quorvex_ctrl.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <utime.h>

#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMenu>
#include <QMetaObject>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "../../uikit/tests/qt_test_util.h"
#include "devicesim/control.h"
#include "devicesim/device.h"
#include "devicesim/frame_code.h"
#include "qrplat/drives.h"
#include "qrplat/thread.h"
#include "quorpane/settings_store.h"
#include "quorvex/quorvex.h"

namespace quorvex {
namespace {

using quorpane::testing::App;
using quorpane::testing::PumpUntil;

struct Fired {
  int32_t id;
  std::vector<Variant> args;
};

// Records every event; an optional hook runs inside the event (re-entrancy).
class RecordingSink : public IQuorvexEvents {
 public:
  HRESULT Invoke(int32_t id, const std::vector<Variant>& args, Variant*) override {
    events.push_back({id, args});
    if (hook) hook(id, args);
    return kS_OK;
  }
  std::vector<int> LinkStates() const {
    std::vector<int> out;
    for (const Fired& f : events)
      if (f.id == eventid::LinkState) out.push_back(int(f.args[1].num));
    return out;
  }
  const Fired* Last(int32_t id) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it)
      if (it->id == id) return &*it;
    return nullptr;
  }
  std::vector<Fired> events;
  std::function<void(int32_t, const std::vector<Variant>&)> hook;
};

// A page's view of the control: everything by name.
class Page {
 public:
  explicit Page(CQuorvexCtrl* c) : c_(c) {}
  int32_t Id(const char* name) const {
    std::vector<int32_t> ids;
    EXPECT_EQ(c_->GetIDsOfNames({QString::fromLatin1(name).toStdU16String()}, &ids), kS_OK) << name;
    return ids.empty() ? kDISPID_UNKNOWN : ids[0];
  }
  Variant Call(const char* name, std::vector<Variant> args = {}) {
    Variant r;
    EXPECT_EQ(c_->Invoke(Id(name), kDispatchMethod, args, &r), kS_OK) << name;
    return r;
  }
  int64_t N(const char* name, std::vector<Variant> args = {}) { return Call(name, args).num; }
  void Put(const char* name, Variant v) {
    EXPECT_EQ(c_->Invoke(Id(name), kDispatchPropertyPut, {v}, nullptr), kS_OK) << name;
  }
  Variant Get(const char* name) {
    Variant r;
    EXPECT_EQ(c_->Invoke(Id(name), kDispatchPropertyGet, {}, &r), kS_OK) << name;
    return r;
  }

 private:
  CQuorvexCtrl* c_;
};

Variant S(const char* text) {
  return Variant::Bstr(QString::fromUtf8(text).toStdU16String());
}
std::string Text(const Variant& v) {
  return QString::fromStdU16String(v.str).toStdString();
}

std::optional<uint32_t> FrameInWindow(QWidget* w) {
  const QImage img = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
  return devicesim::frame_code::DecodeBgrx(img.constBits(), int(img.bytesPerLine()), img.width(),
                                           img.height());
}

class QuorvexCtrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    ASSERT_TRUE(dir_.isValid());
    QDir(dir_.path()).mkpath(QStringLiteral("c"));
    setenv("QRPLAT_DRIVES", (QStringLiteral("C=%1/c:fixed").arg(dir_.path())).toUtf8().constData(),
           1);
    qrplat::ReloadDriveMap();
    setenv("QUORVEX_SETTINGS", (dir_.path() + QStringLiteral("/Quorvex.conf")).toUtf8().constData(),
           1);
    ctrl_ = std::make_unique<CQuorvexCtrl>();
    ctrl_->resize(704, 576);
    ctrl_->show();
    ASSERT_EQ(ctrl_->Advise(&sink_, &cookie_), kS_OK);
  }
  void TearDown() override {
    ctrl_.reset();
    device_.Stop();
    unsetenv("QUORVEX_SETTINGS");
    unsetenv("QRPLAT_DRIVES");
    qrplat::ReloadDriveMap();
  }

  void StartDevice() {
    control_.Attach(device_);
    devicesim::Config config;
    config.width = 352;
    config.height = 288;
    config.audio = devicesim::AudioCodec::kNone;
    ASSERT_TRUE(device_.Start(config)) << device_.Error();
  }
  // Starts the simulator and the view of `channel` and waits for LinkState 0.
  void StartLive(int channel = 1) {
    StartDevice();
    page().Put("url", S(("127.0.0.1:" + std::to_string(device_.Port())).c_str()));
    page().Put("channel", Variant::UI4(uint32_t(channel)));
    page().Put("ocxid", Variant::I4(7));
    ASSERT_EQ(page().N("StartView"), 1);
    ASSERT_TRUE(PumpUntil([&] {
      const std::vector<int> s = sink_.LinkStates();
      return !s.empty() && s.back() == 0;
    })) << "no LinkState 0";
  }
  bool DeviceGot(const std::string& message, int timeout_ms = 5000) {
    return PumpUntil(
        [&] {
          for (const std::string& m : control_.Messages())
            if (m == message) return true;
          return false;
        },
        timeout_ms);
  }

  Page page() { return Page(ctrl_.get()); }

  QTemporaryDir dir_;
  devicesim::Device device_;
  devicesim::ControlService control_;
  std::unique_ptr<CQuorvexCtrl> ctrl_;
  RecordingSink sink_;
  uint32_t cookie_ = 0;
};

// ---- The automation surface ------------------------------------------------

TEST_F(QuorvexCtrlTest, NamesMapToTheirDispatchIdentifiers) {
  const std::pair<const char*, int32_t> expected[] = {{"url", 1},
                                                      {"channel", 2},
                                                      {"StartView", 3},
                                                      {"StopView", 4},
                                                      {"FullScreen", 5},
                                                      {"StartRecord", 6},
                                                      {"PTZCtrl", 8},
                                                      {"SaveMDInfo", 13},
                                                      {"ShowMDRegion", 17},
                                                      {"CaptureBMP", 19},
                                                      {"VideoParamGet", 24},
                                                      {"VFlip", 27},
                                                      {"Password", 30},
                                                      {"Language", 31},
                                                      {"ModifyUserPsw", 35},
                                                      {"OpenFile", 36},
                                                      {"SetVertBlank", 45},
                                                      {"IsUpdateOcx", 46},
                                                      {"Start3DPosity", 47},
                                                      {"LoadCoveryPosity", 54},
                                                      {"SearchRecordFile", 56},
                                                      {"ocxid", 34},
                                                      {"STARTVIEW", 3}};
  for (const auto& [name, id] : expected) EXPECT_EQ(page().Id(name), id) << name;
  // 9 properties and 47 methods, each reachable by name and through Qt.
  const std::vector<MemberInfo>& members = DispatchMembers();
  EXPECT_EQ(members.size(), 56u);
  int properties = 0;
  for (const MemberInfo& m : members) {
    EXPECT_EQ(page().Id(m.name), m.dispid) << m.name;
    const QMetaObject* meta = ctrl_->metaObject();
    if (m.property) {
      ++properties;
      EXPECT_GE(meta->indexOfProperty(m.name), 0) << m.name;
    } else {
      bool found = false;
      for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        found = found || meta->method(i).name() == m.name;
      EXPECT_TRUE(found) << m.name;
    }
  }
  EXPECT_EQ(properties, 9);
  EXPECT_EQ(EventMembers().size(), 9u);

  std::vector<int32_t> ids;
  EXPECT_EQ(ctrl_->GetIDsOfNames({u"NoSuchMethod"}, &ids), kDISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], kDISPID_UNKNOWN);
  Variant r;
  EXPECT_EQ(ctrl_->Invoke(99, kDispatchMethod, {}, &r), kDISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(ctrl_->Invoke(dispid::PTZCtrl, kDispatchMethod, {Variant::I4(1)}, &r),
            kDISP_E_BADPARAMCOUNT);
  EXPECT_EQ(ctrl_->Invoke(dispid::PTZCtrl, kDispatchMethod, {S("1"), Variant::I4(1)}, &r),
            kDISP_E_TYPEMISMATCH);
  EXPECT_EQ(ctrl_->Invoke(dispid::url, kDispatchPropertyPut, {Variant::I4(1)}, &r),
            kDISP_E_TYPEMISMATCH);
  EXPECT_EQ(ctrl_->Invoke(dispid::StopView, kDispatchPropertyGet, {}, &r), kDISP_E_MEMBERNOTFOUND);
}

TEST_F(QuorvexCtrlTest, PropertiesKeepTheirDefaultsAndValues) {
  EXPECT_EQ(page().Get("ShowMDRegion").num, 2);
  EXPECT_EQ(page().Get("Language").num, 1);
  EXPECT_EQ(page().Get("channel").num, 0);
  EXPECT_EQ(Text(page().Get("User")), "");
  page().Put("User", S("admin"));
  page().Put("Password", S("密码"));
  page().Put("channel", Variant::I4(-1));  // converted as a type change would: 0xFFFFFFFF
  EXPECT_EQ(Text(page().Get("User")), "admin");
  EXPECT_EQ(Text(page().Get("Password")), "密码");
  EXPECT_EQ(page().Get("channel").vt, VarType::UI4);
  EXPECT_EQ(page().Get("channel").num, 0xFFFFFFFFll);
  // The same properties through Qt's meta-object system.
  EXPECT_EQ(ctrl_->property("User").toString(), QStringLiteral("admin"));
  ctrl_->setProperty("ocxid", 1234);
  EXPECT_EQ(page().Get("ocxid").num, 1234);
  int result = -5;
  ASSERT_TRUE(QMetaObject::invokeMethod(ctrl_.get(), "SetVertBlank", Q_RETURN_ARG(int, result),
                                        Q_ARG(uint, 3u)));
  EXPECT_EQ(result, -1);
}

TEST_F(QuorvexCtrlTest, ObjectSafetyAndConnectionPoint) {
  uint32_t supported = 0, enabled = 0;
  EXPECT_EQ(ctrl_->GetInterfaceSafetyOptions(kIID_IDispatch, &supported, &enabled), kS_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 3u);
  EXPECT_EQ(ctrl_->GetInterfaceSafetyOptions("{00000000-0000-0000-0000-00000000BEEF}", &supported,
                                             &enabled),
            kE_NOINTERFACE);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(ctrl_->SetInterfaceSafetyOptions(kDIID_DQuorvex, 1, 0), kE_FAIL);
  EXPECT_EQ(ctrl_->SetInterfaceSafetyOptions(kDIID_DQuorvex, 3, 3), kS_OK);
  EXPECT_EQ(ctrl_->SetInterfaceSafetyOptions(kDIID_DQuorvex, 4, 7), kE_FAIL);
  EXPECT_EQ(ctrl_->SetInterfaceSafetyOptions("{00000000-0000-0000-0000-00000000BEEF}", 3, 3),
            kE_NOINTERFACE);

  // Events reach every advised sink and the Qt signal; an unadvised sink
  // hears nothing more.
  RecordingSink second;
  uint32_t cookie2 = 0;
  ASSERT_EQ(ctrl_->Advise(&second, &cookie2), kS_OK);
  int emitted = 0;
  QObject::connect(ctrl_.get(), &CQuorvexCtrl::SearchRecordFileNotify, [&](int ocxid, QString) {
    EXPECT_EQ(ocxid, 0);
    ++emitted;
  });
  page().Call("SearchRecordFile", {S("2024-03-07-1")});
  EXPECT_EQ(second.events.size(), 1u);
  EXPECT_EQ(ctrl_->Unadvise(cookie2), kS_OK);
  EXPECT_EQ(ctrl_->Unadvise(cookie2), kCONNECT_E_NOCONNECTION);
  page().Call("SearchRecordFile", {S("2024-03-07-1")});
  EXPECT_EQ(second.events.size(), 1u);
  EXPECT_EQ(sink_.events.size(), 2u);
  EXPECT_EQ(emitted, 2);
}

// Every method checks its precondition before it touches anything: without
// a client, and again after the view was stopped.
void ExpectPreconditionsRefuse(Page page) {
  EXPECT_EQ(page.N("StartRecord", {S(""), Variant::UI4(0), Variant::UI1(0)}), 0);
  EXPECT_EQ(page.N("PTZCtrl", {Variant::I4(1), Variant::I4(1)}), 0);
  EXPECT_EQ(page.N("PTZCtrl", {Variant::I4(100), Variant::I4(1)}), 0);
  EXPECT_EQ(page.N("EditMDRegion", {Variant::I4(0)}), 0);
  EXPECT_EQ(page.N("RemoveMDRegion", {Variant::I4(-1)}), 0);
  EXPECT_EQ(page.N("SetMDRegionSensitive", {Variant::I4(0), Variant::I4(5)}), 0);
  EXPECT_EQ(page.Call("GetMDRegionSensitive", {Variant::I4(0)}).num, -1);
  EXPECT_EQ(page.Call("GetMDRegionSensitive", {Variant::I4(0)}).vt, VarType::I2);
  EXPECT_EQ(page.N("SaveMDInfo", {Variant::I4(1)}), 0);
  EXPECT_EQ(page.N("StartMD"), 0);
  EXPECT_EQ(page.N("StopMD"), 0);
  EXPECT_EQ(page.N("StopAlarm", {Variant::UI4(1)}), 0);
  EXPECT_EQ(page.N("VideoParamAdjust",
                   {Variant::UI1(1), Variant::UI1(2), Variant::UI1(3), Variant::UI4(0)}),
            0);
  EXPECT_EQ(page.N("CaptureBMP", {S("")}), 0);
  EXPECT_EQ(page.N("SoundOn"), 0);
  EXPECT_EQ(page.N("SoundOff"), 0);
  EXPECT_EQ(page.N("VideoParamGet"), 0);
  EXPECT_EQ(page.N("StartTalk"), 0);
  EXPECT_EQ(page.Call("CloseFile").vt, VarType::Bool);
  EXPECT_EQ(page.N("CloseFile"), 0);
  EXPECT_EQ(page.N("GetFileTime"), 0);
  EXPECT_EQ(page.N("GetReplayTime"), 0);
  EXPECT_EQ(page.N("SetReplayTime", {Variant::UI4(5)}), 0);
  EXPECT_EQ(page.N("ReplayPause", {Variant::UI4(1)}), 0);
  EXPECT_EQ(page.N("ReplayFast"), 0);
  EXPECT_EQ(page.N("ReplaySlow"), 0);
  EXPECT_EQ(page.N("ReplayNormal"), 0);
  EXPECT_EQ(page.N("SetVertBlank", {Variant::UI4(1)}), -1);
  EXPECT_EQ(page.N("OpenFile", {Variant::NullBstr()}), 0);
  EXPECT_EQ(
      page.N("IsUpdateDecoder", {Variant::I2(9), Variant::I2(9), Variant::I2(9), Variant::I2(9)}),
      0);
  EXPECT_EQ(page.N("DownloadDecoder", {S("h"), Variant::I4(80), S("u"), S("p")}), 0);
  EXPECT_EQ(page.N("ModifyUserPsw", {S("a"), S("b"), S("c"), S("d")}), 0);
  // Void methods: nothing happens and nothing is reported.
  for (const char* name : {"StopView", "StopRecord", "StopTalk", "FullScreen", "AddCoverPosity",
                           "Start3DPosity", "Stop3DPosity", "StartCoverPosity", "StopCoverPosity"})
    page.Call(name);
  page.Call("EditCovery", {Variant::I4(0)});
  page.Call("DeleteCovery", {Variant::I4(0)});
  page.Call("SaveAllMDInfo", {S("1,2,3")});
}

TEST_F(QuorvexCtrlTest, MethodsWithoutAClientReturnTheirFailureValues) {
  ExpectPreconditionsRefuse(page());
  EXPECT_TRUE(sink_.events.empty());
  EXPECT_TRUE(ctrl_->findChildren<QWidget*>().isEmpty());  // no cover window was made
}

// ---- Live view --------------------------------------------------------------

TEST_F(QuorvexCtrlTest, StartViewReachesLinkStateZeroAndShowsPictures) {
  StartLive(1);
  const std::vector<int> states = sink_.LinkStates();
  EXPECT_EQ(states.back(), 0);
  EXPECT_EQ(sink_.Last(eventid::LinkState)->args[0].num, 7);  // ocxid first
  // A second StartView keeps the running view.
  EXPECT_EQ(page().N("StartView"), 1);
  // Pictures arrive in the control's own window: the frame number painted
  // into each one advances.
  std::optional<uint32_t> first, later;
  ASSERT_TRUE(PumpUntil([&] {
    first = FrameInWindow(ctrl_.get());
    return first && *first > 0;
  }));
  ASSERT_TRUE(PumpUntil([&] {
    later = FrameInWindow(ctrl_.get());
    return later && *later > *first && *later < *first + 1000;
  }));
  EXPECT_EQ(ctrl_->paintedLinkText(), QString());

  page().Call("StopView");
  ExpectPreconditionsRefuse(page());
  // The window is dark again once the view stopped.
  const QImage img = ctrl_->grab().toImage();
  EXPECT_EQ(img.pixelColor(350, 300), QColor(10, 10, 10));
}

TEST_F(QuorvexCtrlTest, VideoItCannotDecodeIsShownAsTextAndAnnounced) {
  devicesim::Config config;
  config.mode = devicesim::Mode::kStandard;
  config.width = 352;
  config.height = 288;
  config.audio = devicesim::AudioCodec::kNone;
  config.announce_unknown_video = true;
  ASSERT_TRUE(device_.Start(config)) << device_.Error();
  QStringList announced;
  QObject::connect(ctrl_.get(), &CQuorvexCtrl::videoUnsupported,
                   [&](const QString& codec) { announced << codec; });
  page().Put("url", S(("rtsp://127.0.0.1:" + std::to_string(device_.Port()) + "/1").c_str()));
  ASSERT_EQ(page().N("StartView"), 1);
  ASSERT_TRUE(PumpUntil([&] { return !announced.isEmpty(); })) << "no report";
  EXPECT_EQ(announced, QStringList{QStringLiteral("MP4V-ES")});
  EXPECT_EQ(ctrl_->unsupportedVideo(), QStringLiteral("MP4V-ES"));
  // The link runs; instead of a picture the window says why there is none.
  ASSERT_TRUE(PumpUntil([&] {
    ctrl_->repaint();
    return ctrl_->paintedLinkText() == QStringLiteral("Unsupported video: MP4V-ES");
  }));
  // The report may come just before the link state 0; the text stays.
  ASSERT_TRUE(PumpUntil([&] {
    const std::vector<int> s = sink_.LinkStates();
    return !s.empty() && s.back() == 0;
  })) << "no LinkState 0";
  ctrl_->repaint();
  EXPECT_EQ(ctrl_->paintedLinkText(), QStringLiteral("Unsupported video: MP4V-ES"));
  const QImage img = ctrl_->grab().toImage();
  EXPECT_EQ(img.pixelColor(20, 20), QColor(10, 10, 10));

  // Stopped, the text and the name go.
  page().Call("StopView");
  ctrl_->repaint();
  EXPECT_EQ(ctrl_->paintedLinkText(), QString());
  EXPECT_EQ(ctrl_->unsupportedVideo(), QString());
}

TEST_F(QuorvexCtrlTest, TextsLongerThanTheirFieldsArePassedEmptyNotCut) {
  StartDevice();
  // 127 bytes of address: cut to 126 it would still name this device.
  std::string url = "127.0.0.1:" + std::to_string(device_.Port()) + "/";
  url += std::string(127 - url.size(), 'a');
  page().Put("url", S(url.c_str()));
  page().Put("channel", Variant::UI4(1));
  if (page().N("StartView") == 1) {
    ASSERT_FALSE(PumpUntil(
        [&] {
          const std::vector<int> s = sink_.LinkStates();
          return std::find(s.begin(), s.end(), 0) != s.end();
        },
        1500));
    page().Call("StopView");
  }
  EXPECT_TRUE(device_.Requests().empty());
  // At 126 bytes the address is used.
  url.pop_back();
  page().Put("url", S(url.c_str()));
  ASSERT_EQ(page().N("StartView"), 1);
  EXPECT_TRUE(PumpUntil([&] { return !device_.Requests().empty(); }));
}

TEST_F(QuorvexCtrlTest, DeviceGoingAwayShowsLinkStatesAndEventsInOrder) {
  StartLive(1);
  // The control asked for 10 s between attempts; 1 s keeps the test short.
  QRNET_SetWaitTime(5, -1, 1);
  sink_.events.clear();
  device_.Stop();
  // The stream broke (3), the library tries again at once (1), finds nothing
  // listening, pauses and reports the next attempt (4, then 1 again). While
  // the outage lasts the window shows the library's current state as text.
  std::vector<QString> texts;
  ASSERT_TRUE(PumpUntil([&] {
    ctrl_->repaint();
    const QString t = ctrl_->paintedLinkText();
    // Nothing is painted while the state is still 0.
    if (!t.isEmpty() && (texts.empty() || texts.back() != t)) texts.push_back(t);
    const std::vector<int> s = sink_.LinkStates();
    return std::find(s.begin(), s.end(), 4) != s.end();
  }));
  const std::vector<int> states = sink_.LinkStates();
  ASSERT_GE(states.size(), 3u);
  EXPECT_EQ(std::vector<int>(states.begin(), states.begin() + 3), (std::vector<int>{3, 1, 4}));
  EXPECT_NE(std::find(texts.begin(), texts.end(), QStringLiteral("Connecting...")), texts.end());
  for (const QString& t : texts)
    EXPECT_TRUE(t == QStringLiteral("Disconnected") || t == QStringLiteral("Connecting...") ||
                t == QStringLiteral("Reconnect"))
        << t.toStdString();
  QRNET_SetWaitTime(5, -1, 10);
  for (const Fired& f : sink_.events) EXPECT_EQ(f.args[0].num, 7);
  // Stopping the view ends the reports and the texts.
  page().Call("StopView");
  ctrl_->repaint();
  EXPECT_EQ(ctrl_->paintedLinkText(), QString());
}

TEST_F(QuorvexCtrlTest, StopViewFromInsideLinkStateIsSafe) {
  // The page stops the view from its LinkState handler, as pages do when a
  // camera is reported connected and they want another one.
  sink_.hook = [&](int32_t id, const std::vector<Variant>& args) {
    if (id == eventid::LinkState && args[1].num == 0) page().Call("StopView");
  };
  StartLive(1);
  EXPECT_EQ(page().N("SoundOn"), 0);  // no client any more
  const size_t events = sink_.events.size();
  ASSERT_FALSE(PumpUntil([&] { return sink_.events.size() > events; }, 500));
  // And a new view starts normally afterwards.
  sink_.hook = nullptr;
  EXPECT_EQ(page().N("StartView"), 1);
  page().Call("StopView");
}

TEST_F(QuorvexCtrlTest, MotionRegionsDrawnWithTheMouseAreSaved) {
  ctrl_->resize(500, 400);
  StartLive(2);
  ASSERT_EQ(page().N("EditMDRegion", {Variant::I4(3)}), 1);
  QTest::mousePress(ctrl_.get(), Qt::LeftButton, {}, QPoint(100, 50));
  QTest::mouseMove(ctrl_.get(), QPoint(200, 120));
  QTest::mouseMove(ctrl_.get(), QPoint(300, 200));
  QTest::mouseRelease(ctrl_.get(), Qt::LeftButton, {}, QPoint(300, 200));
  // The left button went down in the window: ClickSel(url, ocxid).
  ASSERT_NE(sink_.Last(eventid::ClickSel), nullptr);
  EXPECT_EQ(sink_.Last(eventid::ClickSel)->args[1].num, 7);

  // A drag that leaves the window ends 5 pixels inside it.
  ASSERT_EQ(page().N("EditMDRegion", {Variant::I4(4)}), 1);
  QTest::mousePress(ctrl_.get(), Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(ctrl_.get(), Qt::LeftButton, {}, QPoint(600, -20));
  // A drag along one axis changes nothing.
  ASSERT_EQ(page().N("EditMDRegion", {Variant::I4(5)}), 1);
  QTest::mousePress(ctrl_.get(), Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(ctrl_.get(), Qt::LeftButton, {}, QPoint(10, 300));
  EXPECT_EQ(page().N("SetMDRegionSensitive", {Variant::I4(3), Variant::I4(0x150)}), 1);
  EXPECT_EQ(page().N("RemoveMDRegion", {Variant::I4(16)}), 0);

  control_.ClearLogs();
  ASSERT_EQ(page().N("SaveMDInfo", {Variant::I4(1)}), 1);
  const devicesim::ChannelControl ch = control_.Channel(2);
  // frame x = x * 704 / 500, frame y = y * 576 / 400, truncated.
  EXPECT_EQ(ch.regions[3].left, 140);
  EXPECT_EQ(ch.regions[3].top, 72);
  EXPECT_EQ(ch.regions[3].right, 422);
  EXPECT_EQ(ch.regions[3].bottom, 288);
  EXPECT_EQ(ch.regions[3].sensitivity, 0x50);
  EXPECT_EQ(ch.regions[4].left, 14);
  EXPECT_EQ(ch.regions[4].top, 7);      // -20 became 5
  EXPECT_EQ(ch.regions[4].right, 696);  // 600 became 495
  EXPECT_EQ(ch.regions[4].bottom, 14);
  EXPECT_EQ(ch.regions[5].right, 0);
  EXPECT_FALSE(control_.Messages().empty());
  // Leaving edit mode twice is refused; the sensitivity reads back from the
  // device.
  EXPECT_EQ(page().N("SaveMDInfo", {Variant::I4(1)}), 0);
  EXPECT_EQ(page().Call("GetMDRegionSensitive", {Variant::I4(3)}).num, 0x50);
  EXPECT_EQ(page().Call("GetMDRegionSensitive", {Variant::I4(16)}).num, -1);

  // RemoveMDRegion(-1) empties all sixteen.
  EXPECT_EQ(page().N("RemoveMDRegion", {Variant::I4(-1)}), 1);
  page().Call("SaveAllMDInfo", {S("1,2,3")});
  ASSERT_TRUE(PumpUntil([&] { return control_.Channel(2).regions[3].right == 0; }));
  EXPECT_EQ(control_.Channel(2).regions[2].sensitivity, 3);
  EXPECT_EQ(control_.Channel(2).regions[3].sensitivity, 0);  // missing values count as 0
}

TEST_F(QuorvexCtrlTest, CoversRoundTripAndFollowTheMouse) {
  StartLive(1);
  // No cover window yet: four groups of zeros.
  page().Call("AddCoverPosity");
  ASSERT_NE(sink_.Last(eventid::AddCoveryNotify), nullptr);
  EXPECT_EQ(Text(sink_.Last(eventid::AddCoveryNotify)->args[1]), "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0");

  const char* text = "10,20,110,120,200,40,300,140,0,300,704,576,400,400,500,500";
  page().Call("LoadCoveryPosity", {S(text)});
  page().Call("AddCoverPosity");
  EXPECT_EQ(Text(sink_.Last(eventid::AddCoveryNotify)->args[1]), text);

  // Cover positioning: select cover 1 and drag a new rectangle for it.
  page().Call("StartCoverPosity");
  page().Call("EditCovery", {Variant::I4(1)});
  QTest::mousePress(ctrl_.get(), Qt::LeftButton, {}, QPoint(50, 60));
  QTest::mouseMove(ctrl_.get(), QPoint(150, 160));
  QTest::mouseRelease(ctrl_.get(), Qt::LeftButton, {}, QPoint(150, 160));
  page().Call("DeleteCovery", {Variant::I4(3)});
  page().Call("AddCoverPosity");
  EXPECT_EQ(Text(sink_.Last(eventid::AddCoveryNotify)->args[1]),
            "10,20,110,120,50,60,150,160,0,300,704,576,0,0,0,0");

  // A click on a cover window selects it and tells the page.
  QWidget* cover0 = nullptr;
  for (QWidget* w : ctrl_->findChildren<QWidget*>())
    if (w->geometry() == QRect(10, 20, 100, 100)) cover0 = w;
  ASSERT_NE(cover0, nullptr);
  cover0->show();
  QTest::mouseClick(cover0, Qt::LeftButton, {}, QPoint(50, 50));
  ASSERT_TRUE(PumpUntil([&] { return sink_.Last(eventid::SelCoveryNotify) != nullptr; }));
  EXPECT_EQ(sink_.Last(eventid::SelCoveryNotify)->args[1].num, 0);
  // Out-of-range texts and indices do no harm.
  page().Call("LoadCoveryPosity", {S("99999999999,-5,2147483647,x")});
  page().Call("EditCovery", {Variant::I4(4)});
  page().Call("DeleteCovery", {Variant::I4(-1)});
}

TEST_F(QuorvexCtrlTest, ThreeDimensionalPositioningSendsTheDraggedRectangle) {
  ctrl_->resize(352, 288);
  StartLive(1);
  page().Call("Start3DPosity");
  // Up and to the right: nothing is sent.
  QTest::mousePress(ctrl_.get(), Qt::LeftButton, {}, QPoint(100, 100));
  QTest::mouseRelease(ctrl_.get(), Qt::LeftButton, {}, QPoint(150, 50));
  // Down and to the right: start first, in the reference frame (x2).
  QTest::mousePress(ctrl_.get(), Qt::LeftButton, {}, QPoint(50, 40));
  QTest::mouseMove(ctrl_.get(), QPoint(120, 100));
  QTest::mouseRelease(ctrl_.get(), Qt::LeftButton, {}, QPoint(150, 100));
  EXPECT_TRUE(DeviceGot("CMD:PTZ-ADV MCTP/1.0\n@0@10@100@80@300@200@0@0@0\nEND\n"));
  // A click without movement sends a zero-size rectangle.
  QTest::mouseClick(ctrl_.get(), Qt::LeftButton, {}, QPoint(30, 30));
  EXPECT_TRUE(DeviceGot("CMD:PTZ-ADV MCTP/1.0\n@0@10@60@60@60@60@0@0@0\nEND\n"));
  for (const std::string& m : control_.Messages())
    EXPECT_EQ(m.find("@0@10@200@200@300@100@"), std::string::npos) << m;

  // A window of no size cannot divide by zero: everything lands at 0.
  ctrl_->resize(0, 0);
  QTest::mousePress(ctrl_.get(), Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseRelease(ctrl_.get(), Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(DeviceGot("CMD:PTZ-ADV MCTP/1.0\n@0@10@0@0@0@0@0@0@0\nEND\n"));
}

TEST_F(QuorvexCtrlTest, ElectronicZoomStepsUntilStopped) {
  StartLive(1);
  ASSERT_TRUE(PumpUntil([&] { return ctrl_->lastFrame().width() == 704; }));
  // Two steps per second: slow enough to see it stop.
  EXPECT_EQ(page().N("PTZCtrl", {Variant::I4(100), Variant::I4(2)}), 0);
  ASSERT_TRUE(PumpUntil([&] { return ctrl_->lastFrame().width() < 704; }));
  EXPECT_TRUE(control_.PtzLog().empty());  // nothing went to the device
  EXPECT_EQ(page().N("PTZCtrl", {Variant::I4(0), Variant::I4(3)}), 1);
  ASSERT_FALSE(control_.PtzLog().empty());
  EXPECT_EQ(control_.PtzLog().back().code, 0);
  EXPECT_EQ(control_.PtzLog().back().speed, 3);
  PumpUntil([] { return false; }, 300);
  const int stopped_at = ctrl_->lastFrame().width();
  PumpUntil([] { return false; }, 1500);
  EXPECT_EQ(ctrl_->lastFrame().width(), stopped_at);
  // Other codes go to the device unchanged.
  EXPECT_EQ(page().N("PTZCtrl", {Variant::I4(21), Variant::I4(4)}), 1);
  EXPECT_EQ(control_.PtzLog().back().code, 21);
}

TEST_F(QuorvexCtrlTest, PictureParametersAndAlarms) {
  StartLive(3);
  EXPECT_EQ(page().N("VideoParamAdjust",
                     {Variant::UI1(10), Variant::UI1(20), Variant::UI1(30), Variant::UI4(0)}),
            1);
  EXPECT_EQ(page().N("VideoParamGet"), 1);
  const Fired* vp = sink_.Last(eventid::VPNotify);
  ASSERT_NE(vp, nullptr);
  EXPECT_EQ(vp->args[1].num, 10);
  EXPECT_EQ(vp->args[2].num, 20);
  EXPECT_EQ(vp->args[3].num, 30);
  EXPECT_EQ(page().N("StopAlarm", {Variant::UI4(2)}), 1);
  EXPECT_EQ(page().N("StartMD"), 1);
  EXPECT_TRUE(control_.Channel(3).md_enabled);
  // Motion and alarm reports from the device become events.
  control_.PushMotion(3, 0x5);
  control_.PushAlarm(3, 1);
  ASSERT_TRUE(PumpUntil([&] {
    return sink_.Last(eventid::MDNotify) != nullptr && sink_.Last(eventid::AlarmNotify) != nullptr;
  }));
  EXPECT_EQ(sink_.Last(eventid::MDNotify)->args[0].num, 7);
  EXPECT_EQ(page().N("StopMD"), 1);
  EXPECT_EQ(page().N("SoundOn"), 1);
  EXPECT_EQ(page().N("SoundOff"), 1);
  EXPECT_EQ(page().N("SetVertBlank", {Variant::UI4(1)}), 0);
}

// ---- Mouse: context menu, full screen; configuration dialog -------------------

TEST_F(QuorvexCtrlTest, ContextMenuSwitchesToTheSecondaryStream) {
  StartLive(1);
  page().Put("Language", Variant::I4(0));
  QTest::mousePress(ctrl_.get(), Qt::RightButton, {}, QPoint(50, 50));
  QMenu* menu = ctrl_->findChild<QMenu*>();
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(page().Get("Language").num, 1);  // 0 became English
  ASSERT_EQ(menu->actions().size(), 2);
  EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Primary Stream"));
  EXPECT_TRUE(menu->actions()[0]->isChecked());
  EXPECT_TRUE(menu->actions()[1]->isEnabled());
  device_.ClearRequests();
  sink_.events.clear();
  menu->actions()[1]->trigger();
  // The view restarted on the secondary stream of the channel: 1 + 4.
  ASSERT_TRUE(PumpUntil([&] {
    const std::vector<int> s = sink_.LinkStates();
    return !s.empty() && s.back() == 0;
  }));
  bool secondary = false;
  char path[32];
  std::snprintf(path, sizeof path, ":%d/5", int(device_.Port()));
  for (const devicesim::RequestRecord& r : device_.Requests())
    secondary = secondary || r.url.find(path) != std::string::npos;
  EXPECT_TRUE(secondary);
  menu->close();

  // In Chinese; an instance whose stream choice belongs to the host reports
  // the choice instead.
  page().Put("Language", Variant::I4(2));
  page().Put("ocxid", Variant::I4(1000));
  QTest::mousePress(ctrl_.get(), Qt::RightButton, {}, QPoint(50, 50));
  menu = ctrl_->findChild<QMenu*>();
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu->actions()[1]->text(), QStringLiteral("子码流"));
  menu->actions()[0]->trigger();
  const Fired* choice = sink_.Last(eventid::EventNotify);
  ASSERT_NE(choice, nullptr);
  EXPECT_EQ(choice->args[0].num, 1000);
  EXPECT_EQ(choice->args[1].num, 1);
  EXPECT_EQ(choice->args[2].num, 0);
  menu->close();
  // Channels of 100 and above have no menu.
  page().Put("channel", Variant::UI4(100));
  PumpUntil([] { return false; }, 50);
  QTest::mousePress(ctrl_.get(), Qt::RightButton, {}, QPoint(50, 50));
  EXPECT_EQ(ctrl_->findChild<QMenu*>(), nullptr);
}

TEST_F(QuorvexCtrlTest, DoubleClickShowsFullScreenAndTheVideoComesBack) {
  StartLive(1);
  bool shown_full = false;
  QTimer::singleShot(300, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    ASSERT_NE(modal, nullptr);
    auto* video = modal->findChild<quorpane::QrVideoWidget*>();
    ASSERT_NE(video, nullptr);
    // The client draws into the full-screen window meanwhile.
    shown_full = PumpUntil([&] { return video->presentCount() > 0; }, 10000);
    QTest::mouseDClick(video, Qt::LeftButton);
  });
  QTest::mouseDClick(ctrl_.get(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_TRUE(shown_full);
  const uint64_t before = ctrl_->presentCount();
  EXPECT_TRUE(PumpUntil([&] { return ctrl_->presentCount() > before + 2; }));
}

TEST_F(QuorvexCtrlTest, ConfigurationDialogStoresTheSettings) {
  StartLive(1);
  QTimer::singleShot(200, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    ASSERT_NE(modal, nullptr);
    auto* ok = modal->findChild<QPushButton*>(QStringLiteral("ctl204"));
    ASSERT_NE(ok, nullptr);
    ok->click();
  });
  page().Call("PopupConfigDlg");
  const quorpane::StoredSettings stored = quorpane::ReadSettings();
  EXPECT_TRUE(stored.key_open);
  EXPECT_TRUE(stored.live_view_performance.has_value());
}

TEST_F(QuorvexCtrlTest, StartupPlaybackRunsTheReplayDialogInTheGivenLanguage) {
  page().Put("Language", Variant::I4(2));
  QString title;
  QTimer::singleShot(200, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    ASSERT_NE(modal, nullptr);
    title = modal->windowTitle();
    static_cast<QDialog*>(modal)->reject();
  });
  // The argument chooses the language, not the property: 1 is English.
  page().Call("StartupPlayback", {Variant::I4(1)});
  EXPECT_FALSE(title.isEmpty());
  for (QChar ch : title) EXPECT_LT(ch.unicode(), 0x80) << title.toStdString();
}

// ---- Recording, snapshots, talk ---------------------------------------------

// Files under drive C's directory whose names end with `suffix`, sorted.
QStringList FilesUnder(const QString& dir, const QString& suffix) {
  QStringList out;
  QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString f = it.next();
    if (f.endsWith(suffix)) out << f;
  }
  out.sort();
  return out;
}

bool FfprobeReads(const QString& path) {
  const std::string cmd = "ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" +
                          path.toStdString() + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return false;
  std::string out;
  char buf[256];
  while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
  const int rc = pclose(p);
  return rc == 0 && out.find("h264") != std::string::npos;
}

TEST_F(QuorvexCtrlTest, RecordingWithoutANameContinuesInANewFileAfterAFormatChange) {
  StartLive(1);
  const QString drive = dir_.path() + QStringLiteral("/c");
  ASSERT_EQ(page().N("StartRecord", {S(""), Variant::UI4(60), Variant::UI1(1)}), 1);
  // (127.0.0.1_PORT)_2_... under C:\Record\Normal\<day>.
  QStringList files;
  ASSERT_TRUE(PumpUntil([&] {
    files = FilesUnder(drive + QStringLiteral("/Record/Normal"), QStringLiteral(".avi"));
    return files.size() == 1 && QFileInfo(files[0]).size() > 20000;
  }));
  const QString tag = QStringLiteral("(127.0.0.1_%1)_2_").arg(device_.Port());
  EXPECT_TRUE(QFileInfo(files[0]).fileName().startsWith(tag)) << files[0].toStdString();
  const qrplat::LocalTime now = qrplat::GetLocalTime();
  EXPECT_TRUE(files[0].contains(QStringLiteral("/Record/Normal/%1-%2-%3/")
                                    .arg(now.year)
                                    .arg(now.month, 2, 10, QLatin1Char('0'))
                                    .arg(now.day, 2, 10, QLatin1Char('0'))))
      << files[0].toStdString();

  // The camera comes back with another picture size: the library ends the
  // file and the control goes on in a new one.
  sink_.events.clear();
  device_.faults().next_width = 176;
  device_.faults().next_height = 144;
  device_.faults().close_after_seconds = 1;
  ASSERT_TRUE(PumpUntil([&] {
    const std::vector<int> s = sink_.LinkStates();
    return std::find(s.begin(), s.end(), 3) != s.end();
  }));
  device_.faults().close_after_seconds = 0;
  ASSERT_TRUE(PumpUntil([&] {
    files = FilesUnder(drive + QStringLiteral("/Record/Normal"), QStringLiteral(".avi"));
    return files.size() == 2 && QFileInfo(files[1]).size() > 10000;
  })) << files.size();
  page().Call("StopRecord");
  for (const QString& f : files) EXPECT_TRUE(FfprobeReads(f)) << f.toStdString();

  // A name of more than 3 characters is used as given.
  const QString named = drive + QStringLiteral("/mine.avi");
  ASSERT_EQ(page().N("StartRecord",
                     {Variant::Bstr(named.toStdU16String()), Variant::UI4(0), Variant::UI1(0)}),
            1);
  ASSERT_TRUE(PumpUntil([&] { return QFileInfo(named).size() > 10000; }));
  page().Call("StopRecord");
  // A name too long for the library's field is refused, not cut.
  const std::u16string long_name(300, u'x');
  EXPECT_EQ(page().N("StartRecord", {Variant::Bstr(long_name), Variant::UI4(0), Variant::UI1(0)}),
            0);
}

TEST_F(QuorvexCtrlTest, CaptureBmpWritesAJpegSnapshot) {
  StartLive(1);
  const QString drive = dir_.path() + QStringLiteral("/c");
  ASSERT_EQ(page().N("CaptureBMP", {S("")}), 1);
  QStringList files;
  ASSERT_TRUE(PumpUntil([&] {
    files = FilesUnder(drive + QStringLiteral("/Capture"), QStringLiteral(".jpg"));
    return files.size() == 1 && QFileInfo(files[0]).size() > 1000;
  }));
  // "C:" + "\Capture\<day>\(127.0.0.1_PORT)_2_<date>_<time>_<tick>.jpg"
  EXPECT_TRUE(QFileInfo(files[0]).fileName().startsWith(
      QStringLiteral("(127.0.0.1_%1)_2_").arg(device_.Port())))
      << files[0].toStdString();
  QImage picture;
  ASSERT_TRUE(PumpUntil([&] { return picture.load(files[0]) && picture.width() > 0; }));
  EXPECT_EQ(picture.size(), QSize(352, 288));
  const QString named = drive + QStringLiteral("/shot.jpg");
  ASSERT_EQ(page().N("CaptureBMP", {Variant::Bstr(named.toStdU16String())}), 1);
  ASSERT_TRUE(PumpUntil([&] { return QFileInfo(named).size() > 1000; }));
}

TEST_F(QuorvexCtrlTest, OpenFilePlaysARecordingAndTheReplayMethodsDriveIt) {
  StartLive(1);
  const QString drive = dir_.path() + QStringLiteral("/c");
  const QString path = drive + QStringLiteral("/clip.avi");
  ASSERT_EQ(page().N("StartRecord",
                     {Variant::Bstr(path.toStdU16String()), Variant::UI4(0), Variant::UI1(0)}),
            1);
  PumpUntil([] { return false; }, 3500);
  page().Call("StopRecord");

  // Opening a file stops the live view: the live methods refuse from now on.
  ASSERT_EQ(page().Call("OpenFile", {Variant::Bstr(path.toStdU16String())}).num, -1);  // TRUE
  EXPECT_EQ(page().N("PTZCtrl", {Variant::I4(1), Variant::I4(1)}), 0);
  EXPECT_EQ(page().N("EditMDRegion", {Variant::I4(0)}), 0);
  // StartView with a file open starts nothing.
  EXPECT_EQ(page().N("StartView"), 1);
  const uint32_t total = uint32_t(page().N("GetFileTime"));
  EXPECT_GE(total, 2u);
  EXPECT_LE(total, 10u);
  // Its pictures play in the control's window.
  ASSERT_TRUE(PumpUntil([&] {
    const std::optional<uint32_t> n = FrameInWindow(ctrl_.get());
    return n && *n > 0;
  }));
  EXPECT_EQ(ctrl_->paintedLinkText(), QString());
  EXPECT_NE(page().N("ReplayPause", {Variant::UI4(1)}), 0);
  EXPECT_NE(page().N("SetReplayTime", {Variant::UI4(1)}), 0);
  EXPECT_LE(uint32_t(page().N("GetReplayTime")), total);
  EXPECT_NE(page().N("ReplayPause", {Variant::UI4(0)}), 0);
  EXPECT_NE(page().N("ReplayFast"), 0);
  EXPECT_NE(page().N("ReplaySlow"), 0);
  EXPECT_NE(page().N("ReplayNormal"), 0);
  EXPECT_EQ(page().N("SoundOn"), 1);
  EXPECT_EQ(page().N("SetVertBlank", {Variant::UI4(1)}), 0);
  const QString shot = drive + QStringLiteral("/from_file.jpg");
  EXPECT_EQ(page().N("CaptureBMP", {Variant::Bstr(shot.toStdU16String())}), 1);
  EXPECT_TRUE(PumpUntil([&] { return QFileInfo(shot).size() > 1000; }));

  // A name the library cannot read fails and leaves no client.
  EXPECT_EQ(page().N("OpenFile", {S("C:\\missing.avi")}), 0);
  EXPECT_EQ(page().N("CloseFile"), 0);
  ASSERT_NE(page().N("OpenFile", {Variant::Bstr(path.toStdU16String())}), 0);
  EXPECT_NE(page().N("CloseFile"), 0);
  EXPECT_EQ(page().N("CloseFile"), 0);
  EXPECT_EQ(page().N("GetFileTime"), 0);
}

TEST_F(QuorvexCtrlTest, TalkStartsAndStops) {
  StartLive(1);
  EXPECT_EQ(page().N("StartTalk"), 1);
  page().Call("StopTalk");
  page().Call("StopView");
  EXPECT_EQ(page().N("StartTalk"), 0);
}

// ---- Version, registration, search ------------------------------------------

TEST_F(QuorvexCtrlTest, IsUpdateOcxComparesWithTheLibraryFileVersion) {
  FileVersion own;
  ASSERT_TRUE(ReadOwnFileVersion(&own));
  EXPECT_EQ(own.ms, 0x00010000u);  // 1.0.0.0
  EXPECT_EQ(own.ls, 0u);
  auto update = [&](int a, int b, int c, int d) {
    return page().N("IsUpdateOcx", {Variant::I2(int16_t(a)), Variant::I2(int16_t(b)),
                                    Variant::I2(int16_t(c)), Variant::I2(int16_t(d))});
  };
  EXPECT_EQ(update(1, 0, 0, 0), 0);  // equal
  EXPECT_EQ(update(0, 9, 9, 9), 0);  // older
  EXPECT_EQ(update(1, 0, 0, 1), 1);  // newer
  EXPECT_EQ(update(2, 0, 0, 0), 1);
  EXPECT_EQ(update(-1, 0, 0, 0), 1);  // 0xFFFF as an unsigned major
  FileVersion none;
  EXPECT_FALSE(ReadFileVersion("/proc/self/status", &none));
  EXPECT_FALSE(ReadFileVersion("/nonexistent/lib.so", &none));
}

TEST_F(QuorvexCtrlTest, RegistrationWritesAndRemovesTheClassEntries) {
  ASSERT_EQ(DllRegisterServer(), kS_OK);
  {
    QSettings s(quorpane::SettingsFilePath(), QSettings::IniFormat);
    EXPECT_EQ(s.value(QStringLiteral("Classes/QUORVEX.QuorvexCtrl.1/CLSID")).toString(),
              QLatin1String(kCLSID_Quorvex));
    EXPECT_EQ(s.value(QStringLiteral("Classes/CLSID/%1/MiscStatus").arg(kCLSID_Quorvex)).toInt(),
              0x20191);
    EXPECT_EQ(
        s.value(QStringLiteral("Classes/TypeLib/%1/1.0/Default").arg(kLIBID_QuorvexLib)).toString(),
        QStringLiteral("Quorvex ActiveX 控件模块"));
  }
  std::unique_ptr<CQuorvexCtrl> made(CreateControl(kProgIdControl));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(CreateControl("QUORVEX.Other.1"), nullptr);
  // Settings written by the configuration dialog survive unregistration.
  ASSERT_TRUE(quorpane::WriteSettings(QStringLiteral("C:\\"), QStringLiteral("C:"), 300));
  ASSERT_EQ(DllUnregisterServer(), kS_OK);
  QSettings s(quorpane::SettingsFilePath(), QSettings::IniFormat);
  EXPECT_FALSE(s.contains(QStringLiteral("Classes/QUORVEX.QuorvexCtrl.1/CLSID")));
  EXPECT_TRUE(s.childGroups().contains(QStringLiteral("SOFTWARE")));
  EXPECT_FALSE(s.childGroups().contains(QStringLiteral("Classes")));
}

TEST_F(QuorvexCtrlTest, SearchRecordFileListsOneDayOfRecordings) {
  const QString c = dir_.path() + QStringLiteral("/c/Record");
  auto make = [&](const QString& rel, int mday) {
    const QString path = c + QLatin1Char('/') + rel;
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    struct tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = mday;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    struct utimbuf times {};
    times.actime = times.modtime = mktime(&t);
    ASSERT_EQ(utime(path.toUtf8().constData(), &times), 0);
  };
  make(QStringLiteral("Normal/2024-03-07/a.h264"), 7);
  make(QStringLiteral("Normal/2024-03-07/b.avi"), 7);
  make(QStringLiteral("Normal/2024-03-06/late.h264"), 7);
  make(QStringLiteral("Normal/2024-03-06/early.h264"), 6);
  make(QStringLiteral("Alarm/2024-03-07/x.h264"), 7);
  auto search = [&](const char* request) -> std::string {
    sink_.events.clear();
    page().Call("SearchRecordFile", {S(request)});
    const Fired* f = sink_.Last(eventid::SearchRecordFileNotify);
    return f ? Text(f->args[1]) : "<none>";
  };
  EXPECT_EQ(search("2024-03-07-1"),
            ";C:\\Record\\Normal\\2024-03-06\\late.h264;C:\\Record\\Normal\\2024-03-07\\a.h264;");
  EXPECT_EQ(search("2024-3-7-2"), ";C:\\Record\\Alarm\\2024-03-07\\x.h264;");
  EXPECT_EQ(search("2024-03-07-3"),
            ";C:\\Record\\Normal\\2024-03-06\\late.h264;C:\\Record\\Normal\\2024-03-07\\a.h264;"
            "C:\\Record\\Alarm\\2024-03-07\\x.h264;");
  EXPECT_EQ(search("2024-03-09-1"), ";");
  EXPECT_EQ(search("2024-03-07"), "<none>");
  EXPECT_EQ(search("2024-03-07-1 plus a tail longer than the limit"), "<none>");
}

}  // namespace
}  // namespace quorvex
