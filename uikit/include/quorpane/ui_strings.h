// The components' string table: string N holds the Chinese text and N + 10000
// the English one. Dialogs pick the English number when their language says
// so (the configuration dialog shows Chinese for language 2, the replay dialog
// English for language 1).
#pragma once

#include <QString>

namespace quorpane {

inline constexpr int kEnglishOffset = 10000;

// The text of string `id`; empty for a number the table does not hold.
QString LoadUiString(int id);
// String `id` in the chosen language.
inline QString UiString(int id, bool english) {
  return LoadUiString(english ? id + kEnglishOffset : id);
}

}  // namespace quorpane
