// PageHost: runs one page script with a grid of viewer controls, the way a
// web page hosts embedded controls.
//
// The page sees each control as the global ctl0, ctl1, ... (row by row; also
// the array `controls`), reaches the control's properties and methods by name
// through its automation interface, and hears control ctlN's event E as a call
// of its global function ctlN_E(args...) when it defines one. The global
// `host` is this object: log, setTimeout/clearTimeout, quit, screenshot, args,
// env, buttons under the grid (button, click), and the built-in simulated cameras (sim, stopSim).
//
// Exit status: host.quit(code); 3 after a script error (reported on standard
// error as FILE:LINE: message); 4 when --quit-after expires first.
#pragma once

#include <QJSEngine>
#include <QJSValue>
#include <QObject>
#include <QStringList>
#include <QTextStream>
#include <map>
#include <memory>
#include <vector>

#include "page_options.h"

class QPushButton;
class QTimer;
class QWidget;

namespace devicesim {
class ControlService;
class Device;
}  // namespace devicesim

namespace quorvex {
class CQuorvexCtrl;
}

namespace qrpage {

class ControlBridge;

inline constexpr int kExitScriptError = 3;
inline constexpr int kExitTimedOut = 4;

class PageHost : public QObject {
  Q_OBJECT
  Q_PROPERTY(QStringList args READ args CONSTANT)
  Q_PROPERTY(QStringList sim READ sim CONSTANT)

 public:
  PageHost(const PageOptions& options, QTextStream& out, QTextStream& err);
  ~PageHost() override;

  // Starts the cameras, builds the window and runs the page in the event
  // loop; returns the exit status.
  int Run();

  QStringList args() const { return options_.args; }
  QStringList sim() const { return sim_addresses_; }

  // ---- host.* ----
  Q_INVOKABLE void log(const QJSValue& text);
  Q_INVOKABLE int setTimeout(const QJSValue& fn, int ms);
  Q_INVOKABLE void clearTimeout(int id);
  Q_INVOKABLE void quit(int code = 0);
  Q_INVOKABLE bool screenshot(const QString& path);
  Q_INVOKABLE QJSValue env(const QString& name) const;
  // Adds a push button under the controls that calls `fn` when clicked
  // (what a page's HTML buttons are to a web page); returns its number.
  Q_INVOKABLE int button(const QString& label, const QJSValue& fn);
  // Clicks button `number` as the user would; false for no such button.
  Q_INVOKABLE bool click(int number);
  // Stops simulated camera `index` (its viewers lose the link); false for no
  // such camera.
  Q_INVOKABLE bool stopSim(int index);

 private:
  bool StartCameras();
  bool BuildWindow();
  void EvaluatePage();
  void OnEvent(int index, const QString& event, const QJSValueList& args);
  // Ends the page with `code` (first call wins).
  void Finish(int code);
  void ReportScriptError(const QJSValue& error);
  void TearDown();

  PageOptions options_;
  QTextStream& out_;
  QTextStream& err_;
  QJSEngine engine_;
  std::unique_ptr<QWidget> window_;
  std::vector<quorvex::CQuorvexCtrl*> controls_;  // owned by window_
  QWidget* button_bar_ = nullptr;                 // owned by window_
  std::vector<QPushButton*> buttons_;             // owned by button_bar_
  std::vector<std::unique_ptr<ControlBridge>> bridges_;
  std::vector<std::unique_ptr<devicesim::ControlService>> sim_control_;
  std::vector<std::unique_ptr<devicesim::Device>> sims_;
  QStringList sim_addresses_;
  std::map<int, QTimer*> timers_;
  int next_timer_ = 1;
  bool finished_ = false;
  int exit_code_ = 0;
};

// Parses nothing; runs `options` (QApplication must exist).
int RunPage(const PageOptions& options, QTextStream& out, QTextStream& err);

}  // namespace qrpage
