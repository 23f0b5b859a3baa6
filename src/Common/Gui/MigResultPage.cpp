// The result page and its copyable-path fallback dialog.
#include "Common/Gui/MigResultPage.h"

#include "Common/Gui/MigLinkLabel.h"
#include "Common/Gui/MigThread.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace tavir::gui {

namespace {

QLabel* linkLabel(const QString& text)
{
    auto* label = new MigLinkLabel(QString("<a href=\"url\">%1</a>").arg(text));
    label->setCursor(Qt::PointingHandCursor);
    return label;
}

// `content` in an area that scrolls it up and down when it needs more
// height than the page has, with no frame and the page's own background
// showing through. The area gives its content the width there is and the
// height its wrapped lines take at that width; a page lays out a wrapped
// label by the height it takes at another width, and cut its last lines.
QScrollArea* scrolled(QWidget* content, const char* name)
{
    auto* area = new QScrollArea;
    area->setObjectName(name);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidgetResizable(true);
    area->setWidget(content);
    area->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    return area;
}

} // namespace

MigResultPage::MigResultPage(int nextId)
    : MigPage(nextId, false)
    , totalsBox(new QWidget)
    , totalTimeLabel(new QLabel)
    , runNote(new QLabel)
    , startFailureBox(new QWidget)
    , startFailureLabel(new QLabel)
{
    setTitle(tr("Migration Result"));
    setPixmap(QWizard::WatermarkPixmap, QPixmap(":/images/watermark.png"));

    auto* layout = new QVBoxLayout(this);
    totalsBox->setObjectName("totalsBox");
    auto* totals = new QVBoxLayout(totalsBox);
    // A little room between the text and a scroll bar beside it.
    totals->setContentsMargins(0, 0, 6, 0);
    totalTimeLabel->setObjectName("totalTimeLabel");
    totalTimeLabel->hide();
    totals->addWidget(totalTimeLabel);
    totals->addSpacing(20);
    // What the report says of the whole run, before the counts it explains
    // (a source's limit, a source that could not be tested): wrapped and
    // set off from the accounts as the section notes are from each other.
    runNote->setObjectName("runNote");
    runNote->setWordWrap(true);
    // A server's own words may be in it.
    runNote->setTextFormat(Qt::PlainText);
    runNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    runNote->setContentsMargins(0, 0, 0, 12);
    runNote->hide();
    totals->addWidget(runNote);
    accountsSection = addSection(totals, "accounts", tr("No account has been migrated"));
    foldersSection = addSection(totals, "folders", tr("No folder has been migrated"));
    messagesSection = addSection(totals, "messages", tr("No message has been migrated"));
    // The sections keep to the top of the room they are given.
    totals->addStretch();
    // The room above the warning row, where long notes scroll (the accounts
    // not started and made ahead, ten named each, a source's limit).
    totalsArea = scrolled(totalsBox, "totalsArea");
    layout->addWidget(totalsArea, 1);
    layout->addLayout(statusRow);
    addStartFailure(layout);

    auto* links = new QHBoxLayout;
    QLabel* report = linkLabel(tr("Report"));
    QLabel* debugLog = linkLabel(tr("Debug log"));
    reportLink = {report, report->text()};
    debugLogLink = {debugLog, debugLog->text()};
    report->setObjectName("reportLink");
    debugLog->setObjectName("debugLogLink");
    links->addWidget(report);
    links->addSpacing(20);
    links->addWidget(debugLog);
    links->addStretch();
    layout->addLayout(links);
    connect(report, &QLabel::linkActivated, this, &MigResultPage::slotReportLogClicked);
    connect(debugLog, &QLabel::linkActivated, this, &MigResultPage::slotDebugLogClicked);
}

// Why a start failed, under its warning and in line with its text. Shown,
// it takes the room of the totals above, which are hidden then (the warning
// row moves up to the top, where the totals were), and scrolls when the
// engine's sentences need more.
void MigResultPage::addStartFailure(QVBoxLayout* layout)
{
    startFailureLabel->setObjectName("startFailureLabel");
    startFailureLabel->setWordWrap(true);
    startFailureLabel->setTextFormat(Qt::PlainText);
    startFailureLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The report's path and the server's answer are worth copying.
    startFailureLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QScrollArea* startFailureArea = scrolled(startFailureLabel, "startFailureArea");
    // The warning icon's place, kept empty, so that the text begins where
    // the warning's does.
    QLabel* iconPlace = iconLabel(":/images/circlewarning.png");
    QSizePolicy keepPlace = iconPlace->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    iconPlace->setSizePolicy(keepPlace);
    iconPlace->hide();
    // Hidden as a whole while the run started: the totals' area above keeps
    // the warning row (an abort's) at the bottom.
    startFailureBox->setObjectName("startFailureBox");
    auto* row = new QHBoxLayout(startFailureBox);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(iconPlace);
    row->addWidget(startFailureArea);
    startFailureBox->hide();
    layout->addWidget(startFailureBox, 1);
}

MigResultPage::Section MigResultPage::addSection(QVBoxLayout* layout, const QString& name, const QString& initial)
{
    Section section{
        new QLabel(initial), iconLabel(":/images/circlewarning.png"), new QLabel, new QLabel, new QLabel};
    section.text->setObjectName(name + "Text");
    section.errorIcon->setObjectName(name + "ErrorIcon");
    section.errorText->setObjectName(name + "ErrorText");
    section.note->setObjectName(name + "Note");
    section.spacing->setObjectName(name + "Spacing");
    section.errorIcon->hide();
    // Empty, it would still take a line and its spacing between the count
    // and the note under it.
    section.errorText->hide();
    layout->addWidget(section.text);
    auto* errorRow = new QHBoxLayout;
    errorRow->addWidget(section.errorIcon);
    errorRow->addWidget(section.errorText);
    layout->addLayout(errorRow);
    // After the design's count and its errors, every count in the report's
    // words. The accounts not started are named, and the sentence on what
    // was not counted is long: the note wraps within the page.
    section.note->hide();
    section.note->setWordWrap(true);
    // Given more height than its lines take (a wrapped label's height is
    // worked out for another width first), it keeps them under the count
    // they belong to, not in the middle of the room.
    section.note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Set off from the next section, which shows its spacing line only
    // after errors.
    section.note->setContentsMargins(0, 0, 0, 8);
    layout->addWidget(section.note);
    section.spacing->hide();
    layout->addWidget(section.spacing);
    return section;
}

void MigResultPage::setTotalTimeText(const QString& text)
{
    totalTimeLabel->setText(text);
    totalTimeLabel->setVisible(!text.isEmpty());
}

void MigResultPage::setUserText(const QString& text)
{
    accountsSection.text->setText(text);
}

void MigResultPage::setFolderText(const QString& text)
{
    foldersSection.text->setText(text);
}

void MigResultPage::setMessageText(const QString& text)
{
    messagesSection.text->setText(text);
}

void MigResultPage::setSectionError(const Section& section, const QString& text)
{
    if (text.isEmpty())
        return;
    section.errorIcon->show();
    section.spacing->show();
    section.errorText->setText(text);
    section.errorText->show();
}

void MigResultPage::setSectionNote(const Section& section, const QString& text)
{
    section.note->setText(text);
    section.note->setVisible(!text.isEmpty());
}

void MigResultPage::setRunNoteText(const QString& text)
{
    runNote->setText(text);
    runNote->setVisible(!text.isEmpty());
}

void MigResultPage::setAccountNoteText(const QString& text)
{
    setSectionNote(accountsSection, text);
}

void MigResultPage::setFolderNoteText(const QString& text)
{
    setSectionNote(foldersSection, text);
}

void MigResultPage::setMessageNoteText(const QString& text)
{
    setSectionNote(messagesSection, text);
}

void MigResultPage::setUsersErrorText(const QString& text)
{
    setSectionError(accountsSection, text);
}

void MigResultPage::setFoldersErrorText(const QString& text)
{
    setSectionError(foldersSection, text);
}

void MigResultPage::setMessagesErrorText(const QString& text)
{
    setSectionError(messagesSection, text);
}

void MigResultPage::setNotStarted(const QString& why)
{
    // "0 account(s) have been migrated" and an empty time would read as a
    // run that copied nothing, not as one that never began.
    totalsArea->hide();
    startFailureLabel->setText(why);
    // Shown also without a sentence: it keeps the warning at the top.
    startFailureBox->show();
}

void MigResultPage::setErrorText(const QString& text)
{
    setWarningText(text);
    setWarningVisible(true);
}

void MigResultPage::slotReportLogClicked()
{
    showFile(reportLink, &MigThread::openReportFile, MigThread::executer()->configuration.reportFile, tr("Report"),
        tr("Path to the report file:"));
}

void MigResultPage::slotDebugLogClicked()
{
    showFile(debugLogLink, &MigThread::openLogFile, MigThread::executer()->configuration.debugFile,
        tr("Debug log"), tr("Path to the debug log file:"));
}

// The viewer opens without being waited for; the path is offered when it
// could not start, or later, when it ends in failure.
void MigResultPage::showFile(Link& link, bool (MigThread::*open)(std::function<void(bool)>) const,
    const std::wstring& file, const QString& title, const QString& text)
{
    // A viewer that has not ended yet (still starting, hanging, or on
    // desktops xdg-open does not know, showing the file): a second one
    // would only add to it.
    if (link.waiting)
        return;
    const QString path = QString::fromStdWString(file);
    const auto offerPath = [this, title, text, path] { displayDialogWithCopyablePath(title, text, path); };
    const auto ended = [&link, offerPath](bool shown) {
        link.waiting = false;
        link.label->setText(link.text);
        if (!shown)
            offerPath();
    };
    if (!(migrator()->*open)(ended)) {
        offerPath();
        return;
    }
    link.waiting = true;
    link.label->setText(link.text + " " + tr("(waiting for the viewer...)"));
}

void MigResultPage::displayDialogWithCopyablePath(const QString& title, const QString& text, const QString& path)
{
    QDialog dialog(this);
    dialog.setWindowFlags(dialog.windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog.setWindowTitle(title);

    auto* pathEdit = new QLineEdit(path);
    pathEdit->setReadOnly(true);
    pathEdit->setFrame(false);
    QPalette palette = pathEdit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    pathEdit->setPalette(palette);
    pathEdit->setMinimumWidth(pathEdit->fontMetrics().horizontalAdvance(path) + 20);
    pathEdit->selectAll();

    auto* close = new QPushButton(tr("Close"));
    connect(close, &QPushButton::clicked, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(text));
    layout->addSpacing(10);
    layout->addWidget(pathEdit);
    layout->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);
    dialog.exec();
}

} // namespace tavir::gui
