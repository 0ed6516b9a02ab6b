#include "page_host.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

extern "C" {
#include <libavutil/log.h>
}

#include "control_bridge.h"
#include "devicesim/control.h"
#include "devicesim/device.h"
#include "quorvex/quorvex.h"
#include "quorvex/quorvex_ctrl.h"

namespace qrpage {

namespace {

const QSize kCellSize(352, 288);

}  // namespace

PageHost::PageHost(const PageOptions& options, QTextStream& out, QTextStream& err)
    : options_(options), out_(out), err_(err) {}

PageHost::~PageHost() {
  TearDown();
}

int PageHost::Run() {
  if (!StartCameras()) {
    TearDown();
    return 2;
  }
  if (!BuildWindow()) {
    TearDown();
    return 2;
  }
  // The page runs inside the event loop, so that a quit from its first
  // lines ends the loop like any later one.
  QTimer::singleShot(0, this, [this] { EvaluatePage(); });
  if (options_.quit_after_s > 0) {
    QTimer::singleShot(options_.quit_after_s * 1000, this, [this] {
      if (finished_) return;
      err_ << "qr-page: the page did not quit within " << options_.quit_after_s << " s\n";
      err_.flush();
      Finish(kExitTimedOut);
    });
  }
  // Closing the window ends the page like host.quit(0).
  QObject::connect(qApp, &QApplication::lastWindowClosed, this, [this] { Finish(0); });
  QApplication::setQuitOnLastWindowClosed(false);
  const int code = QApplication::exec();
  TearDown();
  return finished_ ? exit_code_ : code;
}

bool PageHost::StartCameras() {
  if (options_.sims == 0) return true;
  // The cameras' encoder would print its statistics into the page's output.
  av_log_set_level(AV_LOG_ERROR);
  for (int i = 0; i < options_.sims; ++i) {
    devicesim::Config config;
    config.width = options_.sim_size.width();
    config.height = options_.sim_size.height();
    auto device = std::make_unique<devicesim::Device>();
    // Like a real camera it answers the control protocol on its RTSP port
    // (the client subscribes to its event channel when the stream starts).
    auto control = std::make_unique<devicesim::ControlService>();
    control->Attach(*device);
    if (!device->Start(config, 0)) {
      err_ << "qr-page: simulated camera " << i
           << " did not start: " << QString::fromStdString(device->Error()) << "\n";
      err_.flush();
      return false;
    }
    sim_addresses_ << QStringLiteral("127.0.0.1:%1").arg(device->Port());
    sims_.push_back(std::move(device));
    sim_control_.push_back(std::move(control));
  }
  return true;
}

bool PageHost::BuildWindow() {
  QFile file(options_.page);
  if (!file.open(QIODevice::ReadOnly)) {
    err_ << "qr-page: cannot read " << options_.page << "\n";
    err_.flush();
    return false;
  }
  file.close();

  window_ = std::make_unique<QWidget>();
  window_->setWindowTitle(QStringLiteral("qr-page %1").arg(QFileInfo(options_.page).fileName()));
  QPalette palette = window_->palette();
  palette.setColor(QPalette::Window, Qt::black);
  window_->setPalette(palette);
  window_->setAutoFillBackground(true);
  auto* column = new QVBoxLayout(window_.get());
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(2);
  auto* grid = new QGridLayout();
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setSpacing(2);
  column->addLayout(grid, 1);
  button_bar_ = new QWidget(window_.get());
  button_bar_->setStyleSheet(
      QStringLiteral("QPushButton { background: #333; color: white; padding: 4px 10px; }"));
  auto* bar = new QHBoxLayout(button_bar_);
  bar->setContentsMargins(4, 2, 4, 4);
  bar->addStretch(1);
  column->addWidget(button_bar_);
  button_bar_->hide();  // until the page adds a button
  QJSValue list = engine_.newArray(uint(options_.columns * options_.rows));
  for (int r = 0; r < options_.rows; ++r) {
    for (int c = 0; c < options_.columns; ++c) {
      const int index = r * options_.columns + c;
      quorvex::CQuorvexCtrl* control =
          quorvex::CreateControl(quorvex::kProgIdControl, window_.get());
      if (control == nullptr) {
        err_ << "qr-page: the control " << quorvex::kProgIdControl << " cannot be created\n";
        err_.flush();
        return false;
      }
      grid->addWidget(control, r, c);
      controls_.push_back(control);
      auto bridge = std::make_unique<ControlBridge>(control, &engine_);
      QJSEngine::setObjectOwnership(bridge.get(), QJSEngine::CppOwnership);
      bridge->Advise([this, index](const QString& event, const QJSValueList& args) {
        OnEvent(index, event, args);
      });
      const QJSValue object = bridge->MakeScriptObject();
      engine_.globalObject().setProperty(QStringLiteral("ctl%1").arg(index), object);
      list.setProperty(quint32(index), object);
      bridges_.push_back(std::move(bridge));
    }
  }
  engine_.installExtensions(QJSEngine::ConsoleExtension);
  engine_.globalObject().setProperty(QStringLiteral("controls"), list);
  QJSEngine::setObjectOwnership(this, QJSEngine::CppOwnership);
  engine_.globalObject().setProperty(QStringLiteral("host"), engine_.newQObject(this));

  window_->resize(options_.window_size.isValid() ? options_.window_size
                                                 : QSize(kCellSize.width() * options_.columns,
                                                         kCellSize.height() * options_.rows));
  window_->show();
  return true;
}

void PageHost::EvaluatePage() {
  if (finished_) return;
  QFile file(options_.page);
  if (!file.open(QIODevice::ReadOnly)) {
    err_ << "qr-page: cannot read " << options_.page << "\n";
    err_.flush();
    Finish(2);
    return;
  }
  const QString source = QString::fromUtf8(file.readAll());
  const QJSValue result = engine_.evaluate(source, options_.page, 1);
  if (result.isError()) ReportScriptError(result);
}

void PageHost::OnEvent(int index, const QString& event, const QJSValueList& args) {
  if (finished_) return;
  QJSValue handler =
      engine_.globalObject().property(QStringLiteral("ctl%1_%2").arg(index).arg(event));
  if (!handler.isCallable()) return;
  const QJSValue result = handler.call(args);
  if (result.isError()) ReportScriptError(result);
}

void PageHost::ReportScriptError(const QJSValue& error) {
  // After quit the engine is interrupted; what that raises is no error of
  // the page.
  if (finished_) return;
  QString file = error.property(QStringLiteral("fileName")).toString();
  if (file.isEmpty() || file == QLatin1String("undefined")) file = options_.page;
  // The engine names files as URLs.
  const QUrl url(file);
  if (url.isLocalFile()) file = url.toLocalFile();
  const int line = error.property(QStringLiteral("lineNumber")).toInt();
  err_ << file << ":" << line << ": " << error.toString() << "\n";
  err_.flush();
  Finish(kExitScriptError);
}

void PageHost::Finish(int code) {
  if (finished_) return;
  finished_ = true;
  exit_code_ = code;
  out_.flush();
  // Stops the script that is running now (if any) at its next step.
  engine_.setInterrupted(true);
  for (auto& [id, timer] : timers_) timer->stop();
  QCoreApplication::exit(code);
}

void PageHost::TearDown() {
  for (auto& [id, timer] : timers_) delete timer;
  timers_.clear();
  for (auto& bridge : bridges_) bridge->Unadvise();
  // The controls stop their clients before the cameras go.
  controls_.clear();
  buttons_.clear();
  button_bar_ = nullptr;
  window_.reset();
  for (auto& device : sims_) device->Stop();
  sims_.clear();
  sim_control_.clear();
}

// ---- host.* ----

void PageHost::log(const QJSValue& text) {
  out_ << text.toString() << "\n";
  out_.flush();
}

int PageHost::setTimeout(const QJSValue& fn, int ms) {
  if (!fn.isCallable()) {
    engine_.throwError(QJSValue::TypeError, QStringLiteral("setTimeout needs a function"));
    return 0;
  }
  const int id = next_timer_++;
  auto* timer = new QTimer();
  timer->setSingleShot(true);
  timers_[id] = timer;
  QObject::connect(timer, &QTimer::timeout, this, [this, id, fn]() mutable {
    auto it = timers_.find(id);
    if (it == timers_.end() || finished_) return;
    it->second->deleteLater();
    timers_.erase(it);
    const QJSValue result = fn.call();
    if (result.isError()) ReportScriptError(result);
  });
  timer->start(std::max(ms, 0));
  return id;
}

void PageHost::clearTimeout(int id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

void PageHost::quit(int code) {
  Finish(code);
}

bool PageHost::screenshot(const QString& path) {
  if (!window_) return false;
  return window_->grab().save(path, "PNG");
}

QJSValue PageHost::env(const QString& name) const {
  const QByteArray key = name.toLocal8Bit();
  if (!qEnvironmentVariableIsSet(key.constData())) return QJSValue(QJSValue::UndefinedValue);
  return QJSValue(qEnvironmentVariable(key.constData()));
}

int PageHost::button(const QString& label, const QJSValue& fn) {
  if (!fn.isCallable()) {
    engine_.throwError(QJSValue::TypeError, QStringLiteral("button needs a function"));
    return -1;
  }
  auto* b = new QPushButton(label, button_bar_);
  auto* bar = static_cast<QHBoxLayout*>(button_bar_->layout());
  bar->insertWidget(bar->count() - 1, b);
  button_bar_->show();
  QObject::connect(b, &QPushButton::clicked, this, [this, fn]() mutable {
    if (finished_) return;
    const QJSValue result = fn.call();
    if (result.isError()) ReportScriptError(result);
  });
  buttons_.push_back(b);
  return int(buttons_.size()) - 1;
}

bool PageHost::click(int number) {
  if (number < 0 || size_t(number) >= buttons_.size()) return false;
  buttons_[size_t(number)]->click();
  return true;
}

bool PageHost::stopSim(int index) {
  if (index < 0 || size_t(index) >= sims_.size()) return false;
  sims_[size_t(index)]->Stop();
  return true;
}

int RunPage(const PageOptions& options, QTextStream& out, QTextStream& err) {
  PageHost host(options, out, err);
  return host.Run();
}

}  // namespace qrpage
