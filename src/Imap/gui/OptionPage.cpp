// The accounts page: choosing the accounts file and its example.
#include "Imap/gui/OptionPage.h"

#include "Common/Gui/MigLinkLabel.h"

#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSpacerItem>
#include <QTextEdit>
#include <QVBoxLayout>

namespace tavir::gui {

const char* const OptionPage::anyFileFilter = "Any files (*)";
const char* const OptionPage::exampleText = "user1@example.com;password1;User Name 1\n"
                                            "user2@example.com;password2;User Name 2\n"
                                            "user3@example.com;password3;User Name 3";

OptionPage::OptionPage(int nextId)
    : MigOptionPage(nextId, "the file")
    , loadButton(new QPushButton(tr("Load...")))
{
    setTitle(tr("Choose Accounts For Migration"));
    setSubTitle(tr("Please load accounts from file and select accounts to be migrated."));

    auto* note = new MigLinkLabel(tr("The file is required to be in CSV format. <a href=\"url\">Example</a>"));
    loadButton->setObjectName("loadButton");
    note->setObjectName("exampleNote");
    note->setSizePolicy(QSizePolicy::Expanding, note->sizePolicy().verticalPolicy());
    note->setWordWrap(true);
    connect(loadButton, &QPushButton::clicked, this, &OptionPage::slotLoad);
    connect(note, &QLabel::linkActivated, this, &OptionPage::slotExampleClicked);

    auto* top = new QHBoxLayout;
    top->addWidget(loadButton);
    top->addWidget(note);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(5);
    layout->addLayout(listLayout);
    layout->addLayout(statusRow);

    setTabOrder(loadButton, note);
    setTabOrderAfter(note);

    autoStartActions = false;
    setTestUsersCall(true);
}

void OptionPage::initializePage()
{
    loadButton->setFocus(Qt::OtherFocusReason);
    MigOptionPage::initializePage();
}

void OptionPage::setControlsEnabled(bool enable)
{
    MigOptionPage::setControlsEnabled(enable);
    if (enable)
        loadButton->setEnabled(true);
}

void OptionPage::slotLoad()
{
    QSettings settings(QSettings::UserScope, "Tavir", "Zorp");
    const QString startDirectory = settings.value("LastOpenDirectory").toString();

    QFileDialog dialog(this, tr("Select File With IMAP Accounts"), startDirectory);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setViewMode(QFileDialog::List);
    dialog.setNameFilters({"CSV (*.csv)", anyFileFilter});
    // Accounts files are named as their makers please (accounts.txt, a
    // spreadsheet's export, a name without an ending): every file is shown
    // first, and the CSV filter is there to choose.
    dialog.selectNameFilter(anyFileFilter);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    const QString path = chosen.isEmpty() ? QString() : chosen.first();
    settings.setValue("LastOpenDirectory", dialog.directory().absolutePath());
    if (path.isEmpty())
        return;
    accountsFilePath = path;
    loadButton->setEnabled(false);
    restartAction();
}

void OptionPage::slotExampleClicked()
{
    QDialog dialog(this);
    dialog.setWindowFlags(dialog.windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog.setWindowTitle(tr("File Example"));

    auto* text = new QTextEdit;
    text->setReadOnly(true);
    text->setPlainText(exampleText);
    const QString oneLine = QString(exampleText).replace('\n', ' ');
    text->setMinimumWidth(text->fontMetrics().horizontalAdvance(oneLine) / 3 + 20);

    auto* close = new QPushButton(tr("Close"));
    connect(close, &QPushButton::clicked, &dialog, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addItem(new QSpacerItem(10, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(text);
    layout->addLayout(buttons);
    dialog.exec();
}

} // namespace tavir::gui
