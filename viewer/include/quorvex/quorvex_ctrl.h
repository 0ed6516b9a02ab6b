// CQuorvexCtrl: the viewer control. One widget shows one camera or recorder
// channel live (or one opened record file) and is scripted through its
// automation interface (quorvex.h): Invoke by dispatch identifier, or the Qt
// meta-object system, where every property is a Q_PROPERTY and every method
// a Q_INVOKABLE of the same name (a script engine can call them by name).
// Events go to advised sinks and are emitted as the signals of the same name.
//
// The widget is its own video and notification window: the network client
// library draws into it and posts its notifications (message 1124) to it.
// It holds at most one client at a time: a live view (StartView) or an opened
// file (OpenFile); "live" methods need the first, "file" methods the second,
// and every method whose precondition is unmet returns its failure value and
// does nothing.
//
// GUI thread only (see quorvex.h).
#pragma once

#include <QPointer>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "quornet.h"
#include "quorpane/video_widget.h"
#include "quorvex/quorvex.h"

class QMenu;

namespace quorpane {
class CCoverCtrl;
}

namespace quorvex {

class CEptzZoom;

class QUORVEX_API CQuorvexCtrl : public quorpane::QrVideoWidget {
  Q_OBJECT
  Q_PROPERTY(QString url READ getUrl WRITE setUrl)
  Q_PROPERTY(uint channel READ getChannel WRITE setChannel)
  Q_PROPERTY(uint ShowMDRegion READ getShowMDRegion WRITE setShowMDRegion)
  Q_PROPERTY(uint VFlip READ getVFlip WRITE setVFlip)
  Q_PROPERTY(uint Rotate180 READ getRotate180 WRITE setRotate180)
  Q_PROPERTY(QString User READ getUser WRITE setUser)
  Q_PROPERTY(QString Password READ getPassword WRITE setPassword)
  Q_PROPERTY(int Language READ getLanguage WRITE setLanguage)
  Q_PROPERTY(int ocxid READ getOcxid WRITE setOcxid)

 public:
  // The reference frame of every rectangle exchanged with the host and the
  // device (motion regions, covers, 3D positioning).
  static constexpr int kFrameWidth = 704;
  static constexpr int kFrameHeight = 576;
  static constexpr uint32_t kNotifyMessage = 1124;

  explicit CQuorvexCtrl(QWidget* parent = nullptr);
  // Closes (as OnClose), stops the zoom worker, then the library's process
  // state is released for this instance.
  ~CQuorvexCtrl() override;

  // ---- Automation (quorvex.h) ----
  HRESULT GetIDsOfNames(const std::vector<std::u16string>& names, std::vector<int32_t>* ids) const;
  HRESULT Invoke(int32_t dispid, uint16_t flags, const std::vector<Variant>& args, Variant* result);
  // Connection point of _DQuorvexEvents. The sink is not owned; Unadvise it
  // before destroying it. Cookies start at 1.
  HRESULT Advise(IQuorvexEvents* sink, uint32_t* cookie);
  HRESULT Unadvise(uint32_t cookie);
  // Object safety: both options are always supported and enabled.
  HRESULT GetInterfaceSafetyOptions(const char* iid, uint32_t* supported, uint32_t* enabled) const;
  HRESULT SetInterfaceSafetyOptions(const char* iid, uint32_t mask, uint32_t enabled) const;
  // Whether the control implements the interface `iid`.
  static bool ImplementsInterface(const char* iid);
  // The container closes the control: the live view stops, a file closes.
  void OnClose();

  // ---- For hosts in C++ (not reachable through Invoke) ----
  // The transport the next StartView asks for (QRNET_TRANSPORT_*); RTSP over
  // TCP unless the host chooses otherwise.
  void setTransport(uint16_t transport) { transport_ = transport; }
  // The library's handle of the current live view or opened file; 0 when
  // there is none.
  uint32_t clientHandle() const { return handle_; }

  // The status text painted last over the picture: the link state's words,
  // or "Unsupported video: NAME" ("" when none is shown).
  QString paintedLinkText() const { return painted_text_; }
  // The name the stream gives its video codec when the library cannot
  // decode it (e.g. "AV1", "MP4V-ES"); empty while the video is decodable or
  // nothing is viewed. Announced by videoUnsupported().
  QString unsupportedVideo() const { return unsupported_video_; }

  // ---- Properties ----
  QString getUrl() const { return url_; }
  void setUrl(const QString& v) { url_ = v; }
  uint getChannel() const { return channel_; }
  void setChannel(uint v) { channel_ = v; }
  uint getShowMDRegion() const { return show_md_region_; }
  void setShowMDRegion(uint v);
  uint getVFlip() const { return vflip_; }
  void setVFlip(uint v);
  uint getRotate180() const { return rotate180_; }
  void setRotate180(uint v);
  QString getUser() const { return user_; }
  void setUser(const QString& v) { user_ = v; }
  QString getPassword() const { return password_; }
  void setPassword(const QString& v) { password_ = v; }
  int getLanguage() const { return language_; }
  void setLanguage(int v) { language_ = v; }
  int getOcxid() const { return ocxid_; }
  void setOcxid(int v) { ocxid_ = v; }

  // ---- Methods (dispatch identifiers in quorvex.h) ----
  Q_INVOKABLE int StartView();
  Q_INVOKABLE void StopView();
  Q_INVOKABLE void FullScreen();
  Q_INVOKABLE int StartRecord(const QString& filename, uint duration_seconds, int loop);
  Q_INVOKABLE void StopRecord();
  Q_INVOKABLE int PTZCtrl(int type, int param);
  Q_INVOKABLE int EditMDRegion(int index);
  Q_INVOKABLE int RemoveMDRegion(int index);
  Q_INVOKABLE int SetMDRegionSensitive(int index, int param);
  Q_INVOKABLE int GetMDRegionSensitive(int index);
  Q_INVOKABLE int SaveMDInfo(int save);
  Q_INVOKABLE int StartMD();
  Q_INVOKABLE int StopMD();
  Q_INVOKABLE int StopAlarm(uint device_num);
  Q_INVOKABLE int VideoParamAdjust(int brightness, int contrast, int saturation, uint mode);
  Q_INVOKABLE int CaptureBMP(const QString& filename);
  Q_INVOKABLE int SoundOn();
  Q_INVOKABLE int SoundOff();
  Q_INVOKABLE void PopupConfigDlg();
  Q_INVOKABLE void StartupPlayback(int language);
  Q_INVOKABLE int VideoParamGet();
  Q_INVOKABLE int StartTalk();
  Q_INVOKABLE void StopTalk();
  Q_INVOKABLE int IsUpdateDecoder(int a, int b, int c, int d);
  Q_INVOKABLE int DownloadDecoder(const QString& host, int port, const QString& user,
                                  const QString& pass);
  Q_INVOKABLE int ModifyUserPsw(const QString& old_user, const QString& old_psw,
                                const QString& new_user, const QString& new_psw);
  Q_INVOKABLE bool OpenFile(const QString& filename);
  Q_INVOKABLE bool CloseFile();
  Q_INVOKABLE uint GetFileTime();
  Q_INVOKABLE uint GetReplayTime();
  Q_INVOKABLE bool SetReplayTime(uint second);
  Q_INVOKABLE bool ReplayPause(uint pause);
  Q_INVOKABLE bool ReplayFast();
  Q_INVOKABLE bool ReplaySlow();
  Q_INVOKABLE bool ReplayNormal();
  Q_INVOKABLE int SetVertBlank(uint param);
  Q_INVOKABLE int IsUpdateOcx(int ms_h, int ms_l, int ls_h, int ls_l);
  Q_INVOKABLE void Start3DPosity();
  Q_INVOKABLE void Stop3DPosity();
  Q_INVOKABLE void StartCoverPosity();
  Q_INVOKABLE void StopCoverPosity();
  Q_INVOKABLE void AddCoverPosity();
  Q_INVOKABLE void EditCovery(int index);
  Q_INVOKABLE void DeleteCovery(int index);
  Q_INVOKABLE void LoadCoveryPosity(const QString& rect);
  Q_INVOKABLE void SaveAllMDInfo(const QString& sensitive);
  Q_INVOKABLE void SearchRecordFile(const QString& date_time);

 signals:
  void ClickSel(const QString& url, int ocxid);
  void MDNotify(int ocxid, uint mask);
  void VPNotify(int ocxid, int brightness, int contrast, int saturation);
  void LinkState(int ocxid, int state);
  void AlarmNotify(int ocxid, uint alarm);
  void EventNotify(int ocxid, int type, int param);
  void AddCoveryNotify(int ocxid, const QString& rect);
  void SelCoveryNotify(int ocxid, int index);
  void SearchRecordFileNotify(int ocxid, const QString& file_list);
  // For hosts in C++ (no automation event): the live stream's video is in a
  // codec the library cannot decode; the control shows the text
  // "Unsupported video: NAME" instead of a picture. Sound still plays.
  void videoUnsupported(const QString& codec);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  bool Live() const { return handle_ != 0 && live_view_; }
  bool File() const { return handle_ != 0 && !live_view_; }
  void OnWindowMessage(uint msg, uint wparam, int lparam);
  void OnNotification(uint kind, int value);
  void OnCoverSelected(uint id);
  void ShowContextMenu(QPoint at);
  void OnStreamChoice(bool primary);
  bool LoadMDInfo();
  void LeaveRegionEdit();
  quorpane::CCoverCtrl& Cover(int index);
  bool EnsureCoverWindow(int index);
  // Reference-frame conversions with the current client size.
  int ToFrameX(int x) const;
  int ToFrameY(int y) const;
  int ToWindowX(int x) const;
  int ToWindowY(int y) const;
  QPoint ClampToClient(QPoint p) const;
  // Fires an event to the sinks and as a signal. False when the control was
  // destroyed by a handler (the caller must return at once).
  bool Fire(int32_t event_id, const std::vector<Variant>& args);

  // Properties.
  QString url_;
  uint32_t channel_ = 0;
  uint32_t show_md_region_ = 2;
  uint32_t vflip_ = 0;
  uint32_t rotate180_ = 0;
  QString user_;
  QString password_;
  int32_t language_ = 1;
  int32_t ocxid_ = 0;

  // Client.
  uint32_t handle_ = 0;
  bool live_view_ = false;
  int32_t link_state_ = 0;
  bool primary_stream_ = true;
  uint32_t record_segment_ = 0;
  uint8_t record_loop_ = 0;
  uint8_t stream_option_ = 1;
  int32_t live_view_performance_ = 300;
  uint16_t transport_ = QRNET_TRANSPORT_RTSP_TCP;

  // Mouse and editing.
  bool region_edit_ = false;
  bool mouse_down_ = false;
  QPoint drag_start_;
  QPoint drag_current_;
  int32_t region_index_ = 0;
  bool region_armed_ = false;
  bool posity_3d_ = false;
  bool cover_posity_ = false;
  QRNET_MDInfo md_info_{};

  // Covers.
  std::array<std::unique_ptr<quorpane::CCoverCtrl>, 4> covers_;
  int32_t selected_cover_ = -1;

  std::unique_ptr<CEptzZoom> zoom_;
  QPointer<QMenu> menu_;
  QString painted_text_;
  QString unsupported_video_;

  struct SinkEntry {
    uint32_t cookie;
    IQuorvexEvents* sink;
  };
  std::vector<SinkEntry> sinks_;
  uint32_t next_cookie_ = 1;
};

}  // namespace quorvex
