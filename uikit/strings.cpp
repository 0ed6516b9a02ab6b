// The string table, UTF-8. Chinese texts under their own numbers, English
// texts 10000 higher.
#include <algorithm>
#include <iterator>

#include "quorpane/ui_strings.h"

namespace quorpane {

namespace {

struct Entry {
  int id;
  const char* text;
};

// Sorted by number.
constexpr Entry kStrings[] = {
    {3, "录象磁盘: "},
    {4, "抓拍路径:"},
    {5, "所有"},
    {6, "指定IP"},
    {133, "快进"},
    {134, "慢进"},
    {135, "快照"},
    {136, "暂停"},
    {137, "继续"},
    {138, "声音"},
    {139, "磁盘设置有误"},
    {140, "播放失败"},
    {141, "步进"},
    {142, "编号"},
    {143, "文件名"},
    {144, "通道"},
    {145, "类型"},
    {146, "开始时间"},
    {147, "结束时间"},
    {150, "正常"},
    {151, "报警"},
    {152, "关闭声音失败"},
    {153, "打开声音失败"},
    {154, "时间设置有误"},
    {10003, "Record Disk:"},
    {10004, "Capture Path:"},
    {10005, "All"},
    {10006, "IP Address"},
    {10133, "Fast"},
    {10134, "Slow"},
    {10135, "Snapshot"},
    {10136, "Pause"},
    {10137, "Continue"},
    {10138, "Sound"},
    {10139, "End drive should be after start drive."},
    {10140, "Play Failed"},
    {10141, "Step"},
    {10142, "Index"},
    {10143, "File Name"},
    {10144, "Channel"},
    {10145, "Type"},
    {10146, "Start Time"},
    {10147, "End Time"},
    {10150, "Normal"},
    {10151, "Alarm"},
    {10152, "Close Audio Failed"},
    {10153, "Open Audio Failed"},
    {10154, "End time should be after start time."},
};

static_assert(std::is_sorted(std::begin(kStrings), std::end(kStrings),
                             [](const Entry& a, const Entry& b) { return a.id < b.id; }));

}  // namespace

QString LoadUiString(int id) {
  const auto it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                                   [](const Entry& e, int v) { return e.id < v; });
  if (it == std::end(kStrings) || it->id != id) return QString();
  return QString::fromUtf8(it->text);
}

}  // namespace quorpane
