// The per-account progress bar of the progress page.
#include "Common/Gui/ProgressDelegateItem.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>

namespace tavir::gui {

QString padToWidth(const QString& text, int width, const QFontMetrics& metrics)
{
    // Blanks have fractional widths that a text's width rounds, so the count
    // is searched for by measuring: doubled until wide enough, then halved
    // down to the fewest that reach the width. Blanks that add nothing (a
    // font too small to show them) leave the text as it is.
    const auto padded = [&](int blanks) { return text + QString(blanks, QLatin1Char(' ')); };
    const auto advance = [&](int blanks) { return metrics.horizontalAdvance(padded(blanks)); };
    const int bare = advance(0);
    if (bare >= width)
        return text;
    constexpr int NoGrowthAfter = 64;
    int low = 0;
    int high = 1;
    while (advance(high) < width) {
        if (high >= NoGrowthAfter && advance(high) == bare)
            return text;
        low = high;
        high *= 2;
    }
    while (high - low > 1) {
        const int middle = low + (high - low) / 2;
        (advance(middle) >= width ? high : low) = middle;
    }
    return padded(high);
}

QString progressNumbers(qint64 done, qint64 total)
{
    return QString("%1/%2").arg(done).arg(total);
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
    const QString label = padToWidth(progressNumbers(done, total), textWidth, bar.fontMetrics);
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
