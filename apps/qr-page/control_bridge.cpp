#include "control_bridge.h"

#include <QJSEngine>
#include <cmath>
#include <limits>

namespace qrpage {

using quorvex::HRESULT;
using quorvex::MemberInfo;
using quorvex::Variant;
using quorvex::VarType;

namespace {

// The script object: a proxy whose every name is looked up in the control.
// Names the control does not have read as undefined and cannot be written,
// as with any automation object.
const char kProxySource[] = R"JS(
(function (bridge) {
  var methods = {};
  return new Proxy({}, {
    get: function (target, name) {
      if (typeof name !== 'string') return target[name];
      var m = bridge.lookup(name);
      if (m === null) return target[name];
      if (m.property) return bridge.get(m.id);
      if (!methods[m.id]) {
        methods[m.id] = function () {
          return bridge.call(m.id, Array.prototype.slice.call(arguments));
        };
      }
      return methods[m.id];
    },
    set: function (target, name, value) {
      var m = typeof name === 'string' ? bridge.lookup(name) : null;
      if (m === null || !m.property)
        throw new TypeError("Object doesn't support this property or method: " + String(name));
      bridge.put(m.id, value);
      return true;
    },
    has: function (target, name) {
      return typeof name === 'string' && bridge.lookup(name) !== null;
    },
    ownKeys: function (target) { return bridge.names(); },
    getOwnPropertyDescriptor: function (target, name) {
      if (typeof name !== 'string' || bridge.lookup(name) === null) return undefined;
      return { configurable: true, enumerable: true, writable: true, value: undefined };
    }
  });
})
)JS";

int64_t ToInteger(const QJSValue& value) {
  const double d = value.isBool() ? (value.toBool() ? 1.0 : 0.0) : value.toNumber();
  if (std::isnan(d)) return 0;
  // Out-of-range numbers saturate before being cut to the declared width.
  if (d <= double(std::numeric_limits<int64_t>::min())) return std::numeric_limits<int64_t>::min();
  if (d >= double(std::numeric_limits<int64_t>::max())) return std::numeric_limits<int64_t>::max();
  return int64_t(d);
}

QString HresultText(HRESULT hr) {
  switch (hr) {
    case quorvex::kDISP_E_MEMBERNOTFOUND:
      return QStringLiteral("member not found");
    case quorvex::kDISP_E_BADPARAMCOUNT:
      return QStringLiteral("wrong number of arguments");
    case quorvex::kDISP_E_TYPEMISMATCH:
      return QStringLiteral("type mismatch");
    case quorvex::kDISP_E_UNKNOWNNAME:
      return QStringLiteral("unknown name");
    default:
      return QStringLiteral("failed");
  }
}

}  // namespace

QJSValue ToScript(const Variant& v) {
  switch (v.vt) {
    case VarType::Empty:
      return QJSValue(QJSValue::UndefinedValue);
    case VarType::Bool:
      return QJSValue(v.num != 0);
    case VarType::Bstr:
      if (v.null_str) return QJSValue(QJSValue::NullValue);
      return QJSValue(QString::fromStdU16String(v.str));
    case VarType::I2:
    case VarType::I4:
    case VarType::UI1:
    case VarType::UI4:
      return QJSValue(double(v.num));
  }
  return QJSValue(QJSValue::UndefinedValue);
}

Variant FromScript(const QJSValue& value, VarType type) {
  switch (type) {
    case VarType::Empty:
      return Variant();
    case VarType::Bstr:
      if (value.isNull() || value.isUndefined()) return Variant::NullBstr();
      return Variant::Bstr(value.toString().toStdU16String());
    case VarType::Bool:
      return Variant::Bool(value.isBool() ? value.toBool() : ToInteger(value) != 0);
    case VarType::I2:
      return Variant::I2(int16_t(ToInteger(value)));
    case VarType::I4:
      return Variant::I4(int32_t(ToInteger(value)));
    case VarType::UI1:
      return Variant::UI1(uint8_t(ToInteger(value)));
    case VarType::UI4:
      return Variant::UI4(uint32_t(ToInteger(value)));
  }
  return Variant();
}

ControlBridge::ControlBridge(quorvex::CQuorvexCtrl* control, QJSEngine* engine, QObject* parent)
    : QObject(parent), control_(control), engine_(engine) {}

ControlBridge::~ControlBridge() {
  Unadvise();
}

bool ControlBridge::Advise(EventHandler handler) {
  Unadvise();
  if (!control_) return false;
  handler_ = std::move(handler);
  return control_->Advise(this, &cookie_) == quorvex::kS_OK;
}

void ControlBridge::Unadvise() {
  if (cookie_ != 0 && control_) control_->Unadvise(cookie_);
  cookie_ = 0;
  handler_ = nullptr;
}

QJSValue ControlBridge::MakeScriptObject() {
  QJSValue factory = engine_->evaluate(QString::fromUtf8(kProxySource));
  return factory.call({engine_->newQObject(this)});
}

const MemberInfo* ControlBridge::Member(int id) const {
  for (const MemberInfo& m : quorvex::DispatchMembers())
    if (m.dispid == id) return &m;
  return nullptr;
}

void ControlBridge::Throw(const QString& what, HRESULT hr) const {
  engine_->throwError(QJSValue::TypeError, QStringLiteral("%1: %2 (0x%3)")
                                               .arg(what, HresultText(hr))
                                               .arg(uint32_t(hr), 8, 16, QLatin1Char('0')));
}

QJSValue ControlBridge::lookup(const QString& name) const {
  if (!control_) return QJSValue(QJSValue::NullValue);
  std::vector<int32_t> ids;
  if (control_->GetIDsOfNames({name.toStdU16String()}, &ids) != quorvex::kS_OK || ids.empty())
    return QJSValue(QJSValue::NullValue);
  const MemberInfo* m = Member(ids[0]);
  if (m == nullptr) return QJSValue(QJSValue::NullValue);
  QJSValue result = engine_->newObject();
  result.setProperty(QStringLiteral("id"), m->dispid);
  result.setProperty(QStringLiteral("property"), m->property);
  return result;
}

QStringList ControlBridge::names() const {
  QStringList out;
  for (const MemberInfo& m : quorvex::DispatchMembers()) out << QString::fromLatin1(m.name);
  return out;
}

QJSValue ControlBridge::get(int id) {
  const MemberInfo* m = Member(id);
  if (!control_ || m == nullptr) return QJSValue(QJSValue::UndefinedValue);
  Variant result;
  const HRESULT hr = control_->Invoke(id, quorvex::kDispatchPropertyGet, {}, &result);
  if (hr != quorvex::kS_OK) {
    Throw(QString::fromLatin1(m->name), hr);
    return QJSValue(QJSValue::UndefinedValue);
  }
  return ToScript(result);
}

void ControlBridge::put(int id, const QJSValue& value) {
  const MemberInfo* m = Member(id);
  if (!control_ || m == nullptr) return;
  Variant ignored;
  const HRESULT hr =
      control_->Invoke(id, quorvex::kDispatchPropertyPut, {FromScript(value, m->result)}, &ignored);
  if (hr != quorvex::kS_OK) Throw(QString::fromLatin1(m->name), hr);
}

QJSValue ControlBridge::call(int id, const QJSValue& args) {
  const MemberInfo* m = Member(id);
  if (!control_ || m == nullptr) return QJSValue(QJSValue::UndefinedValue);
  const int count = args.property(QStringLiteral("length")).toInt();
  std::vector<Variant> in;
  in.reserve(size_t(std::max(count, 0)));
  for (int i = 0; i < count; ++i) {
    // Extra arguments are passed on as given, so the control can refuse
    // the count.
    const VarType type = size_t(i) < m->args.size() ? m->args[size_t(i)] : VarType::I4;
    in.push_back(FromScript(args.property(quint32(i)), type));
  }
  Variant result;
  const HRESULT hr = control_->Invoke(id, quorvex::kDispatchMethod, in, &result);
  if (hr != quorvex::kS_OK) {
    Throw(QString::fromLatin1(m->name), hr);
    return QJSValue(QJSValue::UndefinedValue);
  }
  return ToScript(result);
}

HRESULT ControlBridge::Invoke(int32_t event_id, const std::vector<Variant>& args, Variant*) {
  if (!handler_) return quorvex::kS_OK;
  for (const MemberInfo& e : quorvex::EventMembers()) {
    if (e.dispid != event_id) continue;
    QJSValueList script_args;
    for (const Variant& a : args) script_args << ToScript(a);
    handler_(QString::fromLatin1(e.name), script_args);
    break;
  }
  return quorvex::kS_OK;
}

}  // namespace qrpage
