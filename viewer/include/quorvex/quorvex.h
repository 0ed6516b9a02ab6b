/*
 * libquorvex: the viewer control and its automation interface.
 *
 * A host (a page script, an application) creates the control by its ProgID
 * "QUORVEX.QuorvexCtrl.1" (CreateControl), places the widget in a window, sets
 * its properties and calls its methods by dispatch identifier, and hears the
 * control's events through a sink (Advise) or as Qt signals.
 *
 *   Dispatch. GetIDsOfNames maps names to dispatch identifiers (names compare
 *   without regard to case, as automation does); Invoke(dispid, flags, args,
 *   result) calls a property get or put or a method. Arguments are given in
 *   declaration order (not reversed). Each argument is converted to the
 *   declared type: any integer type and BOOL convert to any other (the value
 *   is cut to the declared width, as a type change would), BSTR accepts only
 *   BSTR or a null BSTR. The result holds the declared result type, or is
 *   empty for void.
 *   Invoke results (HRESULT values): kS_OK; kDISP_E_MEMBERNOTFOUND for an
 *   unknown identifier or a wrong get/put/method flag; kDISP_E_BADPARAMCOUNT;
 *   kDISP_E_TYPEMISMATCH. A failing precondition or library call is not an
 *   error: the method returns its documented value (0, FALSE, -1).
 *
 *   Text. BSTR is UTF-16. Texts handed to the network client library are
 *   UTF-8; a text longer than the field it goes to is passed empty, never cut.
 *
 *   Events. The control fires events on the GUI thread, synchronously, to every
 *   advised sink (in order of advising) and then as the Qt signal of the same
 *   name. A sink may call back into the control (even StopView or Unadvise)
 *   from an event; the control rechecks its state after each event.
 *
 *   Threads. Every call is GUI-thread only. The control's own worker (the
 *   electronic zoom) never calls out; the library's threads reach the control
 *   only as posted window messages.
 *
 *   Version. The file version of libquorvex.so is kept in the ELF section
 *   ".qr_version" of the shared library (4 x 16 bits, most significant first);
 *   IsUpdateOcx reads it back from the library file on disk, as the version
 *   resource of a module file would be read.
 */
#ifndef QUORVEX_QUORVEX_H_
#define QUORVEX_QUORVEX_H_

#include <cstdint>
#include <string>
#include <vector>

#define QUORVEX_API __attribute__((visibility("default")))

class QWidget;

namespace quorvex {

class CQuorvexCtrl;

using HRESULT = int32_t;
inline constexpr HRESULT kS_OK = 0;
inline constexpr HRESULT kE_FAIL = int32_t(0x80004005u);
inline constexpr HRESULT kE_NOINTERFACE = int32_t(0x80004002u);
inline constexpr HRESULT kE_INVALIDARG = int32_t(0x80070057u);
inline constexpr HRESULT kDISP_E_MEMBERNOTFOUND = int32_t(0x80020003u);
inline constexpr HRESULT kDISP_E_TYPEMISMATCH = int32_t(0x80020005u);
inline constexpr HRESULT kDISP_E_UNKNOWNNAME = int32_t(0x80020006u);
inline constexpr HRESULT kDISP_E_BADPARAMCOUNT = int32_t(0x8002000Eu);
inline constexpr HRESULT kCONNECT_E_NOCONNECTION = int32_t(0x80040200u);
inline constexpr HRESULT kSELFREG_E_TYPELIB = int32_t(0x80040200u);
inline constexpr HRESULT kSELFREG_E_CLASS = int32_t(0x80040201u);
inline constexpr int32_t kDISPID_UNKNOWN = -1;

// Invoke flags.
inline constexpr uint16_t kDispatchMethod = 1;
inline constexpr uint16_t kDispatchPropertyGet = 2;
inline constexpr uint16_t kDispatchPropertyPut = 4;

// ---- Variant ---------------------------------------------------------------

enum class VarType : uint16_t {
  Empty = 0,
  I2 = 2,
  I4 = 3,
  Bstr = 8,
  Bool = 11,
  UI1 = 17,
  UI4 = 19
};

// A small automation variant. BOOL is -1 (true) or 0 (false) as automation
// defines it; a BSTR may be null (a missing text), which differs from "".
struct Variant {
  VarType vt = VarType::Empty;
  int64_t num = 0;     // I2, I4, UI1, UI4, BOOL: the value in its type's range
  std::u16string str;  // BSTR
  bool null_str = false;

  static Variant I2(int16_t v) { return {VarType::I2, v, {}, false}; }
  static Variant I4(int32_t v) { return {VarType::I4, v, {}, false}; }
  static Variant UI1(uint8_t v) { return {VarType::UI1, v, {}, false}; }
  static Variant UI4(uint32_t v) { return {VarType::UI4, v, {}, false}; }
  static Variant Bool(bool v) { return {VarType::Bool, v ? -1 : 0, {}, false}; }
  static Variant Bstr(std::u16string s) { return {VarType::Bstr, 0, std::move(s), false}; }
  static Variant NullBstr() { return {VarType::Bstr, 0, {}, true}; }
};

// ---- Dispatch identifiers --------------------------------------------------

namespace dispid {
// Properties of _DQuorvex.
inline constexpr int32_t url = 1, channel = 2, ShowMDRegion = 17, VFlip = 27, Rotate180 = 28,
                         User = 29, Password = 30, Language = 31, ocxid = 34;
// Methods of _DQuorvex.
inline constexpr int32_t StartView = 3, StopView = 4, FullScreen = 5, StartRecord = 6,
                         StopRecord = 7, PTZCtrl = 8, EditMDRegion = 9, RemoveMDRegion = 10,
                         SetMDRegionSensitive = 11, GetMDRegionSensitive = 12, SaveMDInfo = 13,
                         StartMD = 14, StopMD = 15, StopAlarm = 16, VideoParamAdjust = 18,
                         CaptureBMP = 19, SoundOn = 20, SoundOff = 21, PopupConfigDlg = 22,
                         StartupPlayback = 23, VideoParamGet = 24, StartTalk = 25, StopTalk = 26,
                         IsUpdateDecoder = 32, DownloadDecoder = 33, ModifyUserPsw = 35,
                         OpenFile = 36, CloseFile = 37, GetFileTime = 38, GetReplayTime = 39,
                         SetReplayTime = 40, ReplayPause = 41, ReplayFast = 42, ReplaySlow = 43,
                         ReplayNormal = 44, SetVertBlank = 45, IsUpdateOcx = 46, Start3DPosity = 47,
                         Stop3DPosity = 48, StartCoverPosity = 49, StopCoverPosity = 50,
                         AddCoverPosity = 51, EditCovery = 52, DeleteCovery = 53,
                         LoadCoveryPosity = 54, SaveAllMDInfo = 55, SearchRecordFile = 56;
}  // namespace dispid

// Events of _DQuorvexEvents (arguments in declaration order).
namespace eventid {
inline constexpr int32_t ClickSel = 1,  // (BSTR url, I4 ocxid)
    MDNotify = 2,                       // (I4 ocxid, UI4 ulMask)
    VPNotify = 3,                       // (I4 ocxid, UI1 b, UI1 c, UI1 s)
    LinkState = 4,                      // (I4 ocxid, UI1 cbState)
    AlarmNotify = 5,                    // (I4 ocxid, UI4 dwAlarm)
    EventNotify = 6,                    // (I4 ocxid, I4 type, I4 param)
    AddCoveryNotify = 7,                // (I4 ocxid, BSTR rect)
    SelCoveryNotify = 8,                // (I4 ocxid, I4 index) -> I4, ignored
    SearchRecordFileNotify = 9;         // (I4 ocxid, BSTR filelist) -> I4, ignored
}  // namespace eventid

// One member of the automation surface, for hosts that enumerate it.
struct MemberInfo {
  int32_t dispid;
  const char* name;
  bool property;              // true: property (get and put), false: method
  std::vector<VarType> args;  // methods: argument types in order
  VarType result;             // property type, or method result (Empty = void)
};
// Every property and method, in dispatch-identifier order.
QUORVEX_API const std::vector<MemberInfo>& DispatchMembers();
// Every event.
QUORVEX_API const std::vector<MemberInfo>& EventMembers();

// ---- Interfaces --------------------------------------------------------------

// Interface identifiers (text form; compared without regard to case).
inline constexpr char kCLSID_Quorvex[] = "{5A3C2E71-0B44-4D1E-9C6A-7F1D2B8E4A10}";
inline constexpr char kCLSID_QuorvexPropPage[] = "{5A3C2E72-0B44-4D1E-9C6A-7F1D2B8E4A10}";
inline constexpr char kLIBID_QuorvexLib[] = "{5A3C2E73-0B44-4D1E-9C6A-7F1D2B8E4A10}";
inline constexpr char kDIID_DQuorvex[] = "{5A3C2E74-0B44-4D1E-9C6A-7F1D2B8E4A10}";
inline constexpr char kDIID_DQuorvexEvents[] = "{5A3C2E75-0B44-4D1E-9C6A-7F1D2B8E4A10}";
inline constexpr char kIID_IUnknown[] = "{00000000-0000-0000-C000-000000000046}";
inline constexpr char kIID_IDispatch[] = "{00020400-0000-0000-C000-000000000046}";
inline constexpr char kIID_IObjectSafety[] = "{CB5BDC81-93C1-11CF-8F20-00805F2CD064}";
inline constexpr char kIID_IConnectionPointContainer[] = "{B196B284-BAB4-101A-B69C-00AA00341D07}";

inline constexpr uint32_t kINTERFACESAFE_FOR_UNTRUSTED_CALLER = 1;
inline constexpr uint32_t kINTERFACESAFE_FOR_UNTRUSTED_DATA = 2;

// An event sink: receives each event as (event id, arguments in order). The
// result is ignored by the control.
class IQuorvexEvents {
 public:
  virtual ~IQuorvexEvents() = default;
  virtual HRESULT Invoke(int32_t event_id, const std::vector<Variant>& args, Variant* result) = 0;
};

// ---- Factory and registration -----------------------------------------------

inline constexpr char kProgIdControl[] = "QUORVEX.QuorvexCtrl.1";
inline constexpr char kProgIdPropPage[] = "QUORVEX.QuorvexPropPage.1";

// A new control for the ProgID (or its class id text), as a child of
// `parent`; null for any other name. The caller owns it (or its parent does).
QUORVEX_API CQuorvexCtrl* CreateControl(const std::string& prog_id, QWidget* parent = nullptr);

// Writes the class registration (ProgIDs, class ids, type library 1.0, help
// strings, threading model, miscellaneous status) into the settings store's
// file under the group "Classes". kSELFREG_E_TYPELIB when the type library
// entries cannot be written, kSELFREG_E_CLASS when the class entries cannot.
QUORVEX_API HRESULT DllRegisterServer();
// Removes what DllRegisterServer wrote (type library first, then classes).
QUORVEX_API HRESULT DllUnregisterServer();

// The file version compiled into the library (see "Version" above), as the
// two 32-bit halves of the version resource.
struct FileVersion {
  uint32_t ms = 0;  // major << 16 | minor
  uint32_t ls = 0;  // build << 16 | revision
};
// Read from the library file on disk; false when it cannot be read.
QUORVEX_API bool ReadOwnFileVersion(FileVersion* out);
// Read from the file `path` (an ELF file with a ".qr_version" section).
QUORVEX_API bool ReadFileVersion(const std::string& path, FileVersion* out);

}  // namespace quorvex

#endif  // QUORVEX_QUORVEX_H_
