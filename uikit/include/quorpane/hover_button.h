// CHoverButton: an icon button that reacts to hovering, with its tooltip
// helper CToopTipHelp.
//
// The button draws either one 32 x 32 icon (centred, shifted one pixel right
// and down while pressed or toggled, framed) or one of four images: 0 normal,
// 1 hovered, 2 pressed or toggled, 3 disabled. It looks transparent: on its
// first paint (and after resetBackground()) it copies the parent's own
// drawing under it and starts every paint from that copy, so a repaint of
// the button never repaints the parent. In toggle mode each press flips the
// toggled state. Clicks are reported by QAbstractButton::clicked().
#pragma once

#include <QAbstractButton>
#include <QIcon>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <array>

namespace quorpane {

// A tooltip with one tool: the owner's client rectangle. Inactive until
// activated; the owner relays its events to it before handling them.
class CToopTipHelp {
 public:
  explicit CToopTipHelp(QWidget* owner) : owner_(owner) {}

  // Creates the tool (the owner's client rectangle) on first use, sets the
  // text and activates the tooltip.
  void setText(const QString& text);
  QString text() const { return text_; }
  void activate(bool on) { active_ = on; }
  bool isActive() const { return active_; }
  bool hasTool() const { return has_tool_; }
  QRect toolRect() const { return tool_rect_; }

  // Shows the text for a tooltip request inside the tool while active;
  // true when the event was a tooltip request it answered.
  bool relayEvent(QEvent* event);

 private:
  QWidget* owner_;
  QString text_;
  QRect tool_rect_;
  bool has_tool_ = false;
  bool active_ = false;
};

class CHoverButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CHoverButton(QWidget* parent = nullptr);

  void setTooltipText(const QString& text);
  const CToopTipHelp& tooltip() const { return tooltip_; }

  // Icon mode: one 32 x 32 icon.
  void setButtonIcon(const QIcon& icon);
  // Image-list mode: normal, hovered, pressed, disabled.
  void setImageList(const std::array<QPixmap, 4>& images);
  // The image the button would draw now (image-list mode), 0..3.
  int currentImageIndex() const;

  void setToggleMode(bool on) { toggle_mode_ = on; }
  bool isToggled() const { return toggled_; }
  void setToggled(bool on);
  bool isHovering() const { return hovering_; }

  // Drops the cached background; the next paint copies it again (after the
  // parent changed what it draws under the button).
  void resetBackground();

  QSize sizeHint() const override;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  void CacheBackground();

  CToopTipHelp tooltip_;
  QIcon icon_;
  std::array<QPixmap, 4> images_;
  bool image_list_ = false;
  bool hovering_ = false;
  bool toggle_mode_ = false;
  bool toggled_ = false;
  QPixmap background_;
  bool caching_ = false;
};

}  // namespace quorpane
