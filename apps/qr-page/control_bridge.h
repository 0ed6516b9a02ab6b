// ControlBridge: one control's automation interface as a page script sees it.
//
// The page gets a JavaScript object (MakeScriptObject) whose property reads,
// property writes and method calls go through the control's GetIDsOfNames
// and Invoke: names compare without regard to case, arguments are converted
// to the declared types (text to BSTR; numbers to the integer types, cut to
// their width), results come back as string, number or boolean. The bridge is
// also the control's event sink: each event is handed to the callback given
// to Advise, with its arguments already converted.
#pragma once

#include <QJSValue>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

#include "quorvex/quorvex.h"
#include "quorvex/quorvex_ctrl.h"

class QJSEngine;

namespace qrpage {

// Variant <-> script value conversions.
QJSValue ToScript(const quorvex::Variant& v);
// `value` converted to `type` (Empty leaves the variant empty).
quorvex::Variant FromScript(const QJSValue& value, quorvex::VarType type);

class ControlBridge : public QObject, public quorvex::IQuorvexEvents {
  Q_OBJECT

 public:
  using EventHandler = std::function<void(const QString& event, const QJSValueList& args)>;

  ControlBridge(quorvex::CQuorvexCtrl* control, QJSEngine* engine, QObject* parent = nullptr);
  ~ControlBridge() override;

  // Starts delivering events to `handler`; Unadvise (or the destructor) ends it.
  bool Advise(EventHandler handler);
  void Unadvise();

  // The object the page sees.
  QJSValue MakeScriptObject();

  // Used by the script object; errors are thrown into the script.
  // The member `name` as {id, property}, or null when the control has none.
  Q_INVOKABLE QJSValue lookup(const QString& name) const;
  Q_INVOKABLE QJSValue get(int id);
  Q_INVOKABLE void put(int id, const QJSValue& value);
  Q_INVOKABLE QJSValue call(int id, const QJSValue& args);
  // Every member name, for enumeration.
  Q_INVOKABLE QStringList names() const;

  // IQuorvexEvents.
  quorvex::HRESULT Invoke(int32_t event_id, const std::vector<quorvex::Variant>& args,
                          quorvex::Variant* result) override;

 private:
  const quorvex::MemberInfo* Member(int id) const;
  void Throw(const QString& what, quorvex::HRESULT hr) const;

  QPointer<quorvex::CQuorvexCtrl> control_;
  QJSEngine* engine_;
  EventHandler handler_;
  uint32_t cookie_ = 0;
};

}  // namespace qrpage
