// The sort order of the account list.
#include "Common/Gui/OptionPageItem.h"

#include <QHeaderView>
#include <QTreeWidget>

namespace tavir::gui {

namespace {

bool isEnabled(const QTreeWidgetItem& item)
{
    return item.flags().testFlag(Qt::ItemIsEnabled);
}

bool isPublicFolders(const QTreeWidgetItem& item)
{
    return item.data(AccountColumn, PublicFoldersRole).toUInt() != 0;
}

} // namespace

bool OptionPageItem::operator<(const QTreeWidgetItem& other) const
{
    const QTreeWidget* tree = treeWidget();
    int column = tree ? tree->sortColumn() : AccountColumn;
    if (column == StatusColumn) {
        // Testable accounts before those whose login was refused.
        if (isEnabled(*this) != isEnabled(other))
            return isEnabled(*this);
        column = AccountColumn;
    }
    if (column == IndexColumn)
        return text(IndexColumn).toLongLong() < other.text(IndexColumn).toLongLong();
    if (isPublicFolders(*this) != isPublicFolders(other)) {
        // Qt sorts descending by asking the reverse question, so the answer
        // follows the direction to keep this entry on top either way.
        const Qt::SortOrder order = tree ? tree->header()->sortIndicatorOrder() : Qt::AscendingOrder;
        return isPublicFolders(*this) ? order == Qt::AscendingOrder : order == Qt::DescendingOrder;
    }
    return QString::localeAwareCompare(text(column), other.text(column)) < 0;
}

} // namespace tavir::gui
