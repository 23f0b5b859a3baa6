// The source-server page base.
#include "Common/Gui/MigServerPage.h"

#include "Common/Gui/MigThread.h"

#include <QCheckBox>
#include <QLineEdit>

namespace tavir::gui {

MigServerPage::MigServerPage(int nextId)
    : MigPage(nextId, false)
    , hostEdit(new QLineEdit)
    , sslCheck(new QCheckBox(tr("Use SSL connection")))
{
    hostEdit->setObjectName("hostEdit");
    sslCheck->setObjectName("sslCheck");
    registerField("server.host*", hostEdit);
    registerField("server.ssl*", sslCheck);
}

bool MigServerPage::isComplete() const
{
    return MigPage::isComplete() && !field("server.host").toString().isEmpty();
}

bool MigServerPage::startValidation()
{
    hostEdit->setEnabled(false);
    sslCheck->setEnabled(false);
    migrator()->testServer(field("server.host").toString(), field("server.ssl").toBool());
    return true;
}

bool MigServerPage::getValidationResult()
{
    hostEdit->setEnabled(true);
    sslCheck->setEnabled(true);
    const bool ok = migrator()->getResult() == 0;
    // Disabling the inputs took the focus away; what the user types next
    // belongs in the host.
    if (!ok)
        hostEdit->setFocus(Qt::OtherFocusReason);
    return ok;
}

} // namespace tavir::gui
