// The per-account progress bar of the progress page.
#include "Common/Gui/ProgressDelegateItem.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>

namespace tavir::gui {

QString padToWidth(const QString& text, int width, const QFontMetrics& metrics)
{
    const int blank = metrics.horizontalAdvance(QLatin1Char(' '));
    const int missing = width - metrics.horizontalAdvance(text);
    if (blank <= 0 || missing <= 0)
        return text;
    return text + QString((missing + blank - 1) / blank, QLatin1Char(' '));
}

int progressPercent(int done, int total)
{
    if (total == 0)
        return 0;
    return static_cast<int>(static_cast<float>(done) / static_cast<float>(total) * 100.0f);
}

void ProgressDelegateItem::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const int done = index.data(Qt::DisplayRole).toInt();
    const int total = index.model() ? index.data(Qt::ToolTipRole).toInt() : 0;

    QStyleOptionProgressBar bar;
    // The numbers of every row start at the same place: the label is padded
    // to the widest one, measured in the application's font.
    const QString label = padToWidth(QString("%1/%2").arg(done).arg(total), textWidth, bar.fontMetrics);
    bar.rect = option.rect.adjusted(0, 0, -(textWidth + 2), 0);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = progressPercent(done, total);
    bar.text = label;
    // The numbers are drawn once, beside the bar; styles that print a bar's
    // text inside it would show them twice.
    bar.textVisible = false;
    bar.state |= QStyle::State_Horizontal | QStyle::State_Enabled;
    QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, painter);
    painter->drawText(option.rect, Qt::AlignRight | Qt::AlignVCenter, label);
}

} // namespace tavir::gui
