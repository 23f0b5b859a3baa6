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
    // Beside the SSL choice, which decides the port taken when none is
    // typed: that a port may follow the host.
    auto* portHint = new QLabel(tr("Port 143, or 993 with SSL; another port follows the host after a colon "
                                   "(imap.example.com:1143)."));
    portHint->setObjectName("portHint");
    portHint->setWordWrap(true);
    grid->addWidget(portHint, 2, 1, 1, 2);

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
    if (code != 0) {
        const QString report = MigThread::reportFilePath();
        qWarning("The source test failed; why is in the report %s.", qUtf8Printable(report));
        setWarningText(code == SourceIsCorvane ? tr("Migration from Corvane is not supported.")
                                               : failureText(report));
    }
    return MigServerPage::getValidationResult();
}

QString ConnectImapPage::failureText(const QString& report)
{
    // One sentence for every failure; the engine's own is in the report.
    const QString failed = tr("Connection to IMAP Server failed. Please check the typed hostname.");
    const migration::SourceTestFailure why = migrator()->sourceTestFailure();
    if (why == migration::SourceTestFailure::TakesNoPassword)
        return failed + "\n" + noPasswordText();
    if (why != migration::SourceTestFailure::CertificateChanged)
        return failed;
    // The hostname is not what to mend here, and a user who started the
    // wizard from the desktop's menu sees no standard error: the page says
    // what happened, where the fingerprints are and what to do.
    const QString changed
        = tr("The server showed another certificate than the one pinned for it. Both fingerprints and the "
             "known-hosts file are named in the report %1; if the certificate was changed on purpose, delete the "
             "server's line from that file and press Next again.")
              .arg(report);
    qWarning("%s", qUtf8Printable(changed));
    return failed + "\n" + changed;
}

QString ConnectImapPage::noPasswordText() const
{
    // The hostname is right: the server answered, but no account could be
    // tested there, nor migrated, and the choice that mends it is on this
    // page.
    if (sslCheck->isChecked())
        return tr("The server takes no password this tool can send: it refuses LOGIN "
                  "(LOGINDISABLED) and offers "
                  "no AUTHENTICATE CRAM-MD5.");
    return tr("The server accepts no password on a connection without TLS: turn SSL on for the "
              "source, usually "
              "port 993.");
}

} // namespace tavir::gui
