// One live view: the viewer control showing a camera, driven through its
// automation interface (properties and methods by name, events through a
// sink), with the link state it reports.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <vector>

#include "options.h"
#include "quorvex/quorvex.h"
#include "quorvex/quorvex_ctrl.h"

namespace qrview {

// The words for a link state as the counting run prints them; empty while
// the stream runs (0) and for states without words.
QString LinkStateText(int32_t state);

class LiveView : public QObject, private quorvex::IQuorvexEvents {
  Q_OBJECT

 public:
  // `control` must outlive the view or the view must be stopped first.
  explicit LiveView(quorvex::CQuorvexCtrl* control, QObject* parent = nullptr);
  ~LiveView() override;  // stops the view

  // Sets the control's properties from `options` and starts its live view
  // with the sound on. The control buffers as the settings say (the
  // configuration dialog). False when the view did not start.
  bool Start(const ViewerOptions& options);
  // Stops the view; the library no longer draws or posts once this returns.
  void Stop();

  // The library's handle of the view, 0 when stopped.
  uint32_t handle() const;
  // The last link state reported (1 right after start).
  int32_t linkState() const { return link_state_; }

  // The toolbar's commands, through the automation interface. Recording and
  // snapshots are named by the control under the folders of the settings.
  bool StartRecord();
  void StopRecord();
  bool Snapshot();
  void ConfigDialog();
  void ReplayDialog();

 signals:
  // Every link-state report, repeated values included.
  void linkStateReported(int state);
  // The stream's video cannot be decoded; the control shows
  // "Unsupported video: NAME" over its window.
  void videoUnsupported(const QString& codec);

 private:
  // The control's events.
  quorvex::HRESULT Invoke(int32_t event_id, const std::vector<quorvex::Variant>& args,
                          quorvex::Variant* result) override;
  // A method or property put by name; the result of a method.
  quorvex::Variant Call(const char* name, const std::vector<quorvex::Variant>& args = {});
  void Put(const char* name, const quorvex::Variant& value);

  QPointer<quorvex::CQuorvexCtrl> control_;
  uint32_t cookie_ = 0;
  int32_t link_state_ = 1;
};

}  // namespace qrview
