#pragma once
// One entry of the account list; its order keeps the public-folders entry
// first whichever way the list is sorted.
#include <QTreeWidgetItem>

namespace tavir::gui {

// The columns of the account list, shared by the page and the sort order.
// The status column shows only with the credential test; the index column,
// always hidden, holds the entry's position in the account vector.
enum OptionPageColumn { AccountColumn = 0, AddressColumn, StatusColumn, IndexColumn };

// Data roles of column 0 besides the check state.
enum OptionPageRole {
    EngineIndexRole = Qt::UserRole + 1, // the account's index in the engine
    PublicFoldersRole = Qt::UserRole + 2, // 1 for the public-folders entry
    ListPositionRole = Qt::UserRole + 3, // the entry's position in the account vector
};

class OptionPageItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override;
};

} // namespace tavir::gui
