#pragma once
// The last page: the totals and errors of the run, the warning of a failed
// start or an abort, and links that open the report and the debug log.
#include "Common/Gui/MigPage.h"

class QLabel;
class QVBoxLayout;

namespace tavir::gui {

class MigResultPage : public MigPage {
    Q_OBJECT

public:
    explicit MigResultPage(int nextId);

    void setTotalTimeText(const QString& text);
    void setUserText(const QString& text);
    void setFolderText(const QString& text);
    void setMessageText(const QString& text);
    void setUsersErrorText(const QString& text);
    void setFoldersErrorText(const QString& text);
    void setMessagesErrorText(const QString& text);
    // Shows `text` in the page's warning row.
    void setErrorText(const QString& text);

public slots:
    void slotReportLogClicked();
    void slotDebugLogClicked();

private:
    struct Section {
        QLabel* text;
        QLabel* errorIcon;
        QLabel* errorText;
        QLabel* spacing;
    };

    Section addSection(QVBoxLayout* layout, const QString& name, const QString& initial);
    static void setSectionError(const Section& section, const QString& text);
    void displayDialogWithCopyablePath(const QString& title, const QString& text, const QString& path);

    QLabel* totalTimeLabel;
    Section accountsSection;
    Section foldersSection;
    Section messagesSection;
};

} // namespace tavir::gui
