// The sortable list and its header.
#include "quorpane/sort_list_ctrl.h"

#include <QCollator>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <vector>

namespace quorpane {

namespace {

constexpr int kTextsRole = Qt::UserRole + 1;

int Compare(const QString& a, const QString& b, const QCollator& collator) {
  bool a_number = false;
  bool b_number = false;
  const qlonglong na = a.toLongLong(&a_number);
  const qlonglong nb = b.toLongLong(&b_number);
  if (a_number && b_number) return na < nb ? -1 : (na > nb ? 1 : 0);
  return collator.compare(a, b);
}

QCollator TextCollator() {
  QCollator collator;  // the default locale
  collator.setCaseSensitivity(Qt::CaseSensitive);
  return collator;
}

}  // namespace

CSortHeaderCtrl::CSortHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(true);
  setHighlightSections(false);
  setSortIndicatorShown(false);
}

void CSortHeaderCtrl::setSortMark(int column, bool ascending) {
  marked_column_ = column;
  mark_ascending_ = ascending;
  viewport()->update();
}

void CSortHeaderCtrl::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    pressed_ = logicalIndexAt(event->position().toPoint());
    viewport()->update();
  }
  QHeaderView::mousePressEvent(event);
}

void CSortHeaderCtrl::mouseReleaseEvent(QMouseEvent* event) {
  pressed_ = -1;
  viewport()->update();
  QHeaderView::mouseReleaseEvent(event);
}

void CSortHeaderCtrl::paintSection(QPainter* p, const QRect& rect, int logical_index) const {
  if (!rect.isValid()) return;
  p->save();
  const QPalette& pal = palette();
  p->fillRect(rect, pal.color(QPalette::Button));
  // Item frame: light above-left, shadow below-right.
  p->setPen(pal.color(QPalette::Light));
  p->drawLine(rect.topLeft(), rect.topRight());
  p->drawLine(rect.topLeft(), rect.bottomLeft());
  p->setPen(pal.color(QPalette::Dark));
  p->drawLine(rect.bottomLeft(), rect.bottomRight());
  p->drawLine(rect.topRight(), rect.bottomRight());

  const int h = rect.height();
  const int margin = h / 4;
  QRect text_rect = rect.adjusted(margin, 0, -margin, 0);
  const bool sorted = logical_index == marked_column_;
  if (sorted) text_rect.setRight(text_rect.right() - 3 * h / 4);
  if (logical_index == pressed_) text_rect.translate(1, 2);

  const QVariant align_value =
      model() ? model()->headerData(logical_index, orientation(), Qt::TextAlignmentRole)
              : QVariant();
  Qt::Alignment align = Qt::AlignLeft;
  if (align_value.isValid()) {
    align = Qt::Alignment(align_value.toInt()) & Qt::AlignHorizontal_Mask;
  }
  const QString text =
      model() ? model()->headerData(logical_index, orientation(), Qt::DisplayRole).toString()
              : QString();
  p->setPen(pal.color(QPalette::ButtonText));
  p->setFont(font());
  p->drawText(text_rect, int(align | Qt::AlignVCenter | Qt::TextSingleLine),
              p->fontMetrics().elidedText(text, Qt::ElideRight, text_rect.width()));

  if (sorted) {
    // A small triangle right of the text: highlight on its lit edge, shadow
    // on the others.
    const int size = std::max(4, h / 3);
    const int cx = text_rect.right() + margin + (3 * h / 4) / 2 - size / 2;
    const int cy = rect.top() + h / 2;
    const int top = cy - size / 2;
    const int bottom = top + size - 1;
    const int left = cx - size / 2;
    const int right = cx + size / 2;
    p->setRenderHint(QPainter::Antialiasing, false);
    if (mark_ascending_) {
      p->setPen(pal.color(QPalette::Dark));
      p->drawLine(cx, top, left, bottom);
      p->setPen(pal.color(QPalette::Light));
      p->drawLine(left, bottom, right, bottom);
      p->drawLine(right, bottom, cx, top);
    } else {
      p->setPen(pal.color(QPalette::Dark));
      p->drawLine(left, top, right, top);
      p->drawLine(left, top, cx, bottom);
      p->setPen(pal.color(QPalette::Light));
      p->drawLine(cx, bottom, right, top);
    }
  }
  p->restore();
}

CSortListCtrl::CSortListCtrl(QWidget* parent)
    : QTableWidget(parent), header_(new CSortHeaderCtrl(this)) {
  setHorizontalHeader(header_);
  verticalHeader()->hide();
  // Rows one line high, as in a report list.
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(true);
  setWordWrap(false);
  header_->setStretchLastSection(false);
  connect(header_, &QHeaderView::sectionClicked, this, &CSortListCtrl::sortOnColumn);
}

void CSortListCtrl::setColumns(const QStringList& titles, const QList<int>& widths,
                               const QList<Qt::Alignment>& alignments) {
  setColumnCount(int(titles.size()));
  for (int c = 0; c < titles.size(); ++c) {
    auto* item = new QTableWidgetItem(titles[c]);
    item->setTextAlignment(c < alignments.size() ? alignments[c] | Qt::AlignVCenter
                                                 : Qt::AlignLeft | Qt::AlignVCenter);
    setHorizontalHeaderItem(c, item);
    if (c < widths.size()) setColumnWidth(c, widths[c]);
  }
}

void CSortListCtrl::SetRowTexts(int row, const QStringList& texts) {
  for (int c = 0; c < columnCount(); ++c) {
    QTableWidgetItem* cell = item(row, c);
    if (cell == nullptr) {
      cell = new QTableWidgetItem;
      setItem(row, c, cell);
    }
    cell->setText(c < texts.size() ? texts[c] : QString());
  }
  item(row, 0)->setData(kTextsRole, texts);
}

int CSortListCtrl::addRow(const QStringList& texts) {
  if (columnCount() == 0) return -1;
  const int row = rowCount();
  insertRow(row);
  QStringList copy = texts;
  while (copy.size() < columnCount()) copy.append(QString());
  SetRowTexts(row, copy);
  return row;
}

void CSortListCtrl::deleteAllRows() {
  setRowCount(0);
}

QStringList CSortListCtrl::rowTexts(int row) const {
  const QTableWidgetItem* cell = item(row, 0);
  return cell ? cell->data(kTextsRole).toStringList() : QStringList();
}

int CSortListCtrl::CompareTexts(const QString& a, const QString& b) {
  return Compare(a, b, TextCollator());
}

void CSortListCtrl::sortOnColumn(int column) {
  if (column <= 0 || column >= columnCount()) return;
  ascending_ = (column != sort_column_) || !ascending_;
  sort_column_ = column;
  header_->setSortMark(column, ascending_);

  std::vector<QStringList> rows;
  rows.reserve(size_t(rowCount()));
  for (int r = 0; r < rowCount(); ++r) rows.push_back(rowTexts(r));
  const bool up = ascending_;
  const QCollator collator = TextCollator();
  std::stable_sort(rows.begin(), rows.end(), [&](const QStringList& x, const QStringList& y) {
    const QString a = column < x.size() ? x[column] : QString();
    const QString b = column < y.size() ? y[column] : QString();
    // Descending swaps the operands.
    return up ? Compare(a, b, collator) < 0 : Compare(b, a, collator) < 0;
  });
  for (int r = 0; r < rowCount(); ++r) {
    QStringList& texts = rows[size_t(r)];
    if (!texts.isEmpty()) texts[0] = QString::number(r + 1);
    SetRowTexts(r, texts);
  }
}

}  // namespace quorpane
