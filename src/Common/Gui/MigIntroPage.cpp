// The welcome page.
#include "Common/Gui/MigIntroPage.h"

#include "Common/Gui/MigThread.h"

#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QVBoxLayout>

namespace tavir::gui {

MigIntroPage::MigIntroPage(int nextId, const QString& title, const QString& text)
    : MigPage(nextId, false)
{
    setTitle(title);
    setPixmap(QWizard::WatermarkPixmap, QPixmap(":/images/watermark.png"));
    setMinimumSize(505, 370);
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addStretch();
    layout->addLayout(statusRow);
}

bool MigIntroPage::startValidation()
{
    migrator()->initialize();
    return true;
}

bool MigIntroPage::getValidationResult()
{
    if (migrator()->getResult() != 0)
        return true;
    QMessageBox::warning(this, getWizardName(),
        tr("It is impossible to create a report file. You probably don't have sufficient rights to "
           "create it. The application will be closed."),
        QMessageBox::Ok);
    closing = true;
    warningsSuppressed = true;
    if (QWizard* frame = wizard())
        QTimer::singleShot(10, frame, &QWidget::close);
    return false;
}

} // namespace tavir::gui
