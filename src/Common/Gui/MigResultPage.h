#pragma once
// The last page: the totals and errors of the run, the warning of a failed
// start or an abort, and links that open the report and the debug log.
#include "Common/Gui/MigPage.h"

#include <functional>
#include <string>

class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace tavir::gui {

class MigThread;

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
    // What the report says of the whole run (a source that can't be tested,
    // the source's limit), one line each, above the sections; shown when not
    // empty.
    void setRunNoteText(const QString& text);
    // What was not copied besides the errors (accounts not started, folders
    // and messages not reached, on the target already, not counted), one
    // line each, below the section's text; shown when not empty.
    void setAccountNoteText(const QString& text);
    void setFolderNoteText(const QString& text);
    void setMessageNoteText(const QString& text);
    // Shows `text` in the page's warning row.
    void setErrorText(const QString& text);
    // The run did not start: nothing was counted, so the totals give way
    // to `why` (wrapped, and scrolled when long), under the warning row.
    void setNotStarted(const QString& why);

public slots:
    void slotReportLogClicked();
    void slotDebugLogClicked();

private:
    struct Section {
        QLabel* text;
        QLabel* errorIcon;
        QLabel* errorText;
        QLabel* note;
        QLabel* spacing;
    };

    // A link to a log, and whether the viewer it started is still running.
    struct Link {
        QLabel* label;
        QString text; // as built, without the waiting note
        bool waiting = false;
    };

    Section addSection(QVBoxLayout* layout, const QString& name, const QString& initial);
    void addStartFailure(QVBoxLayout* layout);
    // Shows `file` with `open`; offers its path (`title`, `text`) when the
    // viewer can't show it.
    void showFile(Link& link, bool (MigThread::*open)(std::function<void(bool)>) const, const std::wstring& file,
        const QString& title, const QString& text);
    static void setSectionError(const Section& section, const QString& text);
    static void setSectionNote(const Section& section, const QString& text);
    void displayDialogWithCopyablePath(const QString& title, const QString& text, const QString& path);

    // The total time and the three sections, hidden as one, in their area.
    QWidget* totalsBox;
    QScrollArea* totalsArea = nullptr;
    QLabel* totalTimeLabel;
    QLabel* runNote;
    QWidget* startFailureBox;
    QLabel* startFailureLabel;
    Section accountsSection;
    Section foldersSection;
    Section messagesSection;
    Link reportLink;
    Link debugLogLink;
};

} // namespace tavir::gui
