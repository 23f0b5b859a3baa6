// The source IMAP server page.
#include "Imap/gui/ConnectImapPage.h"

#include "Common/Gui/MigThread.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace tavir::gui {

namespace {
// The code a source test gives when the source is a Corvane server itself.
constexpr std::uint64_t SourceIsCorvane = 4;
} // namespace

ConnectImapPage::ConnectImapPage(int nextId)
    : MigServerPage(nextId)
{
    setTitle(tr("Connect to source IMAP server"));
    setSubTitle(tr("Please type a hostname of a server where source IMAP server is installed."));

    auto* grid = new QGridLayout;
    grid->setSpacing(5);
    auto* hostLabel = new QLabel(tr("Hostname:"));
    hostLabel->setBuddy(hostEdit);
    grid->addWidget(hostLabel, 0, 0);
    grid->addWidget(hostEdit, 0, 1);

    QLabel* noteIcon = iconLabel(":/images/circlestatus.png");
    auto* note = new QLabel(tr("Clear text authentication must be enabled on the source IMAP Server"));
    note->setWordWrap(true);
    auto* noteRow = new QHBoxLayout;
    noteRow->addWidget(noteIcon);
    noteRow->addWidget(note);
    grid->addLayout(noteRow, 1, 1, 1, 2);
    grid->addWidget(sslCheck, 2, 0);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch();
    layout->addLayout(statusRow);
    setProgressText(tr("Connecting to IMAP Server..."));
    connect(hostEdit, &QLineEdit::textChanged, this, &ConnectImapPage::slotChanged);
}

bool ConnectImapPage::getValidationResult()
{
    const std::uint64_t code = migrator()->getResult();
    if (code == SourceIsCorvane)
        setWarningText(tr("Migration from Corvane is not supported."));
    else
        setWarningText(tr("Connection to IMAP Server failed. Please check the typed hostname."));
    // The page's sentence is the same for every failure; the engine's,
    // which names a changed certificate with both fingerprints, is in the
    // report.
    if (code != 0)
        qWarning("The source test failed; why is in the report %s. A certificate that changed is named there with "
                 "both fingerprints: if it was changed on purpose, delete the server's line from the known-hosts "
                 "file named there, then test again.",
            qUtf8Printable(QString::fromStdWString(MigThread::executer()->configuration.reportFile)));
    return MigServerPage::getValidationResult();
}

} // namespace tavir::gui
