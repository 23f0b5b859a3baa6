#pragma once
// Draws one account's progress in the table of accounts in progress: a bar
// for the folder in hand and "done/total" right-aligned beside it.
#include <QItemDelegate>

class QFontMetrics;

namespace tavir::gui {

class ProgressDelegateItem : public QItemDelegate {
public:
    using QItemDelegate::QItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The widest "done/total" of the rows shown, set at every poll.
    int textWidth = 50;
};

// "done/total": the numbers drawn beside the bar, which the page also
// measures to find the widest.
QString progressNumbers(qint64 done, qint64 total);

// text followed by as many blanks as make it at least `width` pixels wide
// in `metrics`; a font whose blank has no width gets no blanks.
QString padToWidth(const QString& text, int width, const QFontMetrics& metrics);

// The bar's percentage: done of total, truncated; 0 for an empty folder.
int progressPercent(int done, int total);

} // namespace tavir::gui
