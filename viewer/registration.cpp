// Factory by ProgID, class registration in the settings store's file, and the
// file version kept in the library.
#include <dlfcn.h>
#include <elf.h>

#include <QSettings>
#include <QString>
#include <cstdio>
#include <cstring>
#include <vector>

#include "quorpane/settings_store.h"
#include "quorvex/quorvex.h"
#include "quorvex/quorvex_ctrl.h"

#ifndef QUORVEX_VERSION_MAJOR
#define QUORVEX_VERSION_MAJOR 1
#define QUORVEX_VERSION_MINOR 0
#define QUORVEX_VERSION_BUILD 0
#define QUORVEX_VERSION_REVISION 0
#endif

namespace quorvex {

namespace {

// The file version, read back from the library file by IsUpdateOcx. Kept in
// a section of its own so that it can be found without loading the file.
__attribute__((used, section(".qr_version"))) const uint16_t kFileVersion[4] = {
    QUORVEX_VERSION_MAJOR, QUORVEX_VERSION_MINOR, QUORVEX_VERSION_BUILD, QUORVEX_VERSION_REVISION};

bool SameId(const std::string& a, const char* b) {
  return QString::fromStdString(a).compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

// The path of this library file, or empty.
std::string OwnPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&kFileVersion), &info) == 0 || info.dli_fname == nullptr)
    return {};
  const std::string path = info.dli_fname;
  return path.size() <= 511 ? path : std::string();
}

QString LibraryPath() {
  return QString::fromStdString(OwnPath());
}

}  // namespace

CQuorvexCtrl* CreateControl(const std::string& prog_id, QWidget* parent) {
  if (SameId(prog_id, kProgIdControl) || SameId(prog_id, kCLSID_Quorvex))
    return new CQuorvexCtrl(parent);
  return nullptr;
}

bool ReadFileVersion(const std::string& path, FileVersion* out) {
  if (out == nullptr) return false;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<unsigned char> data;
  unsigned char buffer[65536];
  size_t n;
  // Library files are a few MiB; a bound keeps a strange path from filling
  // memory.
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && data.size() < (256u << 20))
    data.insert(data.end(), buffer, buffer + n);
  std::fclose(f);
  Elf64_Ehdr eh;
  if (data.size() < sizeof eh) return false;
  std::memcpy(&eh, data.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
    return false;
  if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shstrndx >= eh.e_shnum) return false;
  auto section = [&](size_t i, Elf64_Shdr* sh) {
    const uint64_t at = eh.e_shoff + i * sizeof(Elf64_Shdr);
    if (eh.e_shoff > data.size() || at + sizeof(Elf64_Shdr) > data.size()) return false;
    std::memcpy(sh, data.data() + at, sizeof *sh);
    return true;
  };
  Elf64_Shdr names;
  if (!section(eh.e_shstrndx, &names) || names.sh_offset > data.size() ||
      names.sh_size > data.size() - names.sh_offset)
    return false;
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh;
    if (!section(i, &sh) || sh.sh_name >= names.sh_size) return false;
    const char* name = reinterpret_cast<const char*>(data.data() + names.sh_offset + sh.sh_name);
    const size_t room = names.sh_size - sh.sh_name;
    if (strnlen(name, room) == room || std::strcmp(name, ".qr_version") != 0) continue;
    uint16_t v[4];
    if (sh.sh_type == SHT_NOBITS || sh.sh_size < sizeof v || sh.sh_offset > data.size() ||
        sizeof v > data.size() - sh.sh_offset)
      return false;
    std::memcpy(v, data.data() + sh.sh_offset, sizeof v);
    out->ms = (uint32_t(v[0]) << 16) | v[1];
    out->ls = (uint32_t(v[2]) << 16) | v[3];
    return true;
  }
  return false;
}

bool ReadOwnFileVersion(FileVersion* out) {
  const std::string path = OwnPath();
  return !path.empty() && ReadFileVersion(path, out);
}

namespace {

// Registry keys under HKEY_CLASSES_ROOT become keys of the group "Classes".
QString Key(const QString& path) {
  return QStringLiteral("Classes/") + path;
}

bool WriteTypeLib(QSettings& s) {
  const QString lib = QString::fromLatin1(kLIBID_QuorvexLib);
  s.setValue(Key(QStringLiteral("TypeLib/%1/1.0/Default").arg(lib)),
             QStringLiteral("Quorvex ActiveX 控件模块"));
  s.setValue(Key(QStringLiteral("TypeLib/%1/1.0/0/linux").arg(lib)), LibraryPath());
  s.setValue(Key(QStringLiteral("TypeLib/%1/1.0/FLAGS").arg(lib)), 0);
  s.setValue(Key(QStringLiteral("TypeLib/%1/1.0/LCID").arg(lib)), 1033);
  const struct {
    const char* iid;
    const char* name;
    const char* help;
  } interfaces[] = {{kDIID_DQuorvex, "_DQuorvex", "Quorvex Control 的调度接口"},
                    {kDIID_DQuorvexEvents, "_DQuorvexEvents", "Quorvex Control 的事件接口"}};
  for (const auto& i : interfaces) {
    const QString base = QStringLiteral("Interface/%1/").arg(QLatin1String(i.iid));
    s.setValue(Key(base + QStringLiteral("Default")), QLatin1String(i.name));
    s.setValue(Key(base + QStringLiteral("HelpString")), QString::fromUtf8(i.help));
    s.setValue(Key(base + QStringLiteral("TypeLib")), lib);
    s.setValue(Key(base + QStringLiteral("TypeLibVersion")), QStringLiteral("1.0"));
  }
  s.sync();
  return s.status() == QSettings::NoError;
}

bool WriteClasses(QSettings& s) {
  const QString lib = QString::fromLatin1(kLIBID_QuorvexLib);
  const struct {
    const char* clsid;
    const char* prog_id;
    const char* name;
    bool control;
  } classes[] = {{kCLSID_Quorvex, kProgIdControl, "Quorvex Control", true},
                 {kCLSID_QuorvexPropPage, kProgIdPropPage, "Quorvex Property Page", false}};
  for (const auto& c : classes) {
    const QString prog = QString::fromLatin1(c.prog_id);
    s.setValue(Key(prog + QStringLiteral("/Default")), QLatin1String(c.name));
    s.setValue(Key(prog + QStringLiteral("/CLSID")), QLatin1String(c.clsid));
    const QString base = QStringLiteral("CLSID/%1/").arg(QLatin1String(c.clsid));
    s.setValue(Key(base + QStringLiteral("Default")), QLatin1String(c.name));
    s.setValue(Key(base + QStringLiteral("ProgID")), prog);
    s.setValue(Key(base + QStringLiteral("InprocServer32")), LibraryPath());
    s.setValue(Key(base + QStringLiteral("ThreadingModel")), QStringLiteral("Apartment"));
    if (c.control) {
      s.setValue(Key(base + QStringLiteral("Control")), QString());
      s.setValue(Key(base + QStringLiteral("MiscStatus")), 0x20191);
      s.setValue(Key(base + QStringLiteral("ToolboxBitmap32")),
                 LibraryPath() + QStringLiteral(", 1"));
      s.setValue(Key(base + QStringLiteral("TypeLib")), lib);
      s.setValue(Key(base + QStringLiteral("Version")), QStringLiteral("1.0"));
    }
  }
  s.sync();
  return s.status() == QSettings::NoError;
}

}  // namespace

HRESULT DllRegisterServer() {
  QSettings s(quorpane::SettingsFilePath(), QSettings::IniFormat);
  if (!WriteTypeLib(s)) return kSELFREG_E_TYPELIB;
  if (!WriteClasses(s)) return kSELFREG_E_CLASS;
  return kS_OK;
}

HRESULT DllUnregisterServer() {
  QSettings s(quorpane::SettingsFilePath(), QSettings::IniFormat);
  s.remove(Key(QStringLiteral("TypeLib/%1").arg(QLatin1String(kLIBID_QuorvexLib))));
  s.remove(Key(QStringLiteral("Interface/%1").arg(QLatin1String(kDIID_DQuorvex))));
  s.remove(Key(QStringLiteral("Interface/%1").arg(QLatin1String(kDIID_DQuorvexEvents))));
  s.sync();
  if (s.status() != QSettings::NoError) return kSELFREG_E_TYPELIB;
  for (const char* prog : {kProgIdControl, kProgIdPropPage}) s.remove(Key(QLatin1String(prog)));
  for (const char* clsid : {kCLSID_Quorvex, kCLSID_QuorvexPropPage})
    s.remove(Key(QStringLiteral("CLSID/%1").arg(QLatin1String(clsid))));
  s.sync();
  if (s.status() != QSettings::NoError) return kSELFREG_E_CLASS;
  // Nothing else of ours lives under the group: drop it when it is empty.
  s.beginGroup(QStringLiteral("Classes"));
  const bool empty = s.allKeys().isEmpty();
  s.endGroup();
  if (empty) s.remove(QStringLiteral("Classes"));
  return kS_OK;
}

}  // namespace quorvex
