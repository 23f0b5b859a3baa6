// The target administrator page.
#include "Common/Gui/MigCVNPage.h"

#include "Common/Gui/MigThread.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace tavir::gui {

namespace {

enum CvnTestCode { CvnOk = 0, CvnNoConnection, CvnAuthFailed, CvnReadOnly, CvnBadVersion };

void addRow(QGridLayout* grid, int row, const QString& text, QLineEdit* edit)
{
    auto* label = new QLabel(text);
    label->setBuddy(edit);
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1);
}

} // namespace

MigCVNPage::MigCVNPage(int nextId)
    : MigPage(nextId, false)
    , hostEdit(new QLineEdit)
    , userEdit(new QLineEdit)
    , passwordEdit(new QLineEdit)
    , sslCheck(new QCheckBox(tr("Use SSL connection")))
{
    setTitle(tr("Connect To Corvane"));
    setSubTitle(tr("Please type a hostname of a server where Corvane is installed, administrator username and "
                   "password."));
    passwordEdit->setEchoMode(QLineEdit::Password);
    hostEdit->setObjectName("hostEdit");
    userEdit->setObjectName("userEdit");
    passwordEdit->setObjectName("passwordEdit");
    sslCheck->setObjectName("sslCheck");

    auto* grid = new QGridLayout;
    addRow(grid, 0, tr("Hostname:"), hostEdit);
    addRow(grid, 1, tr("Username:"), userEdit);
    addRow(grid, 2, tr("Password:"), passwordEdit);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(5);
    layout->addWidget(sslCheck);
    layout->addStretch();
    layout->addLayout(statusRow);
    setProgressText(tr("Connecting to Corvane..."));

    registerField("cvn.host*", hostEdit);
    registerField("cvn.user*", userEdit);
    registerField("cvn.password", passwordEdit);
    registerField("cvn.ssl*", sslCheck);
    for (QLineEdit* edit : {hostEdit, userEdit, passwordEdit})
        connect(edit, &QLineEdit::textChanged, this, &MigCVNPage::slotChanged);
}

bool MigCVNPage::isComplete() const
{
    return MigPage::isComplete() && !hostEdit->text().isEmpty() && !userEdit->text().isEmpty();
}

void MigCVNPage::setEditsEnabled(bool enable)
{
    // The SSL choice stays open: the value read here is the one tested.
    for (QLineEdit* edit : {hostEdit, userEdit, passwordEdit})
        edit->setEnabled(enable);
}

bool MigCVNPage::startValidation()
{
    setEditsEnabled(false);
    migrator()->testCvn(field("cvn.host").toString(), field("cvn.user").toString(),
        field("cvn.password").toString(), field("cvn.ssl").toBool());
    return true;
}

bool MigCVNPage::getValidationResult()
{
    const auto code = static_cast<int>(migrator()->getResult());
    // The edit the user must fix gets the focus back, which disabling the
    // edits took away.
    QLineEdit* toFix = hostEdit;
    switch (code) {
    case CvnNoConnection:
        setWarningText(tr("Connection to Corvane failed. Please check the typed hostname and try to connect again."));
        break;
    case CvnAuthFailed:
        setWarningText(tr("Authentication to Corvane failed. Please check the typed username and password and try "
                          "to connect again."));
        toFix = passwordEdit;
        break;
    case CvnReadOnly:
        setWarningText(tr("This administrator has not sufficient rights to perform the migration. Please insert a "
                          "user with full administration rights."));
        toFix = userEdit;
        break;
    case CvnBadVersion:
        setWarningText(tr("Incompatible version of Corvane has been detected. This version of %1 can migrate only "
                          "to Corvane 7.0.0 and later.")
                           .arg(getWizardName()));
        break;
    default:
        break;
    }
    setEditsEnabled(true);
    if (code != CvnOk) {
        toFix->setFocus(Qt::OtherFocusReason);
        // A password can't be seen to be mended: the next one typed
        // replaces it.
        if (toFix == passwordEdit)
            passwordEdit->selectAll();
    }
    return code == CvnOk;
}

} // namespace tavir::gui
