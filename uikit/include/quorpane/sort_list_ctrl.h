// CSortListCtrl: a report list whose columns sort on a header click, with its
// header CSortHeaderCtrl that draws the sort mark.
//
// Each row keeps a private copy of its column texts (rowTexts()), which the
// sort compares; column 0 is the running index ("1", "2", ...), renumbered
// after every sort and never sorted itself. Clicking the header of column c
// sorts ascending, a second click on the same column descending. Two texts
// that are both whole numbers compare as numbers (so channel 10 comes after
// channel 9); any other pair compares locale-aware and case-sensitively
// (dates written year first, "20240307 09:05:02", sort as text).
#pragma once

#include <QHeaderView>
#include <QStringList>
#include <QTableWidget>

namespace quorpane {

class CSortHeaderCtrl : public QHeaderView {
  Q_OBJECT

 public:
  explicit CSortHeaderCtrl(QWidget* parent = nullptr);

  // Clears every mark, then marks `column` up (ascending) or down.
  void setSortMark(int column, bool ascending);
  int markedColumn() const { return marked_column_; }
  bool markAscending() const { return mark_ascending_; }

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logical_index) const override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int marked_column_ = -1;
  bool mark_ascending_ = true;
  int pressed_ = -1;
};

class CSortListCtrl : public QTableWidget {
  Q_OBJECT

 public:
  explicit CSortListCtrl(QWidget* parent = nullptr);

  // Titles, widths in pixels and (optionally) the alignment of each column.
  void setColumns(const QStringList& titles, const QList<int>& widths,
                  const QList<Qt::Alignment>& alignments = {});
  // Appends a row; the texts are copied (missing columns are empty). Returns
  // its index.
  int addRow(const QStringList& texts);
  void deleteAllRows();
  // The stored copy of row `row`'s texts.
  QStringList rowTexts(int row) const;

  // What a click on the header of `column` does.
  void sortOnColumn(int column);
  int sortColumn() const { return sort_column_; }
  bool ascending() const { return ascending_; }

  CSortHeaderCtrl* sortHeader() const { return header_; }

  // < 0, 0, > 0 as `a` sorts before, with or after `b`.
  static int CompareTexts(const QString& a, const QString& b);

 private:
  void SetRowTexts(int row, const QStringList& texts);

  CSortHeaderCtrl* header_;
  int sort_column_ = -1;
  bool ascending_ = true;
};

}  // namespace quorpane
