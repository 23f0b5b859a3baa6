// The wizard frame and the close rules.
#include "Common/Gui/MigWizard.h"

#include "Common/Gui/MigExecuterImpl.h"
#include "Common/Gui/MigIntroPage.h"
#include "Common/Gui/MigOptionPage.h"
#include "Common/Gui/MigProgressPage.h"
#include "Common/Gui/MigThread.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>

#include <utility>

// The images live in this static library; registering them from a static
// initialiser of the file every wizard links keeps the linker from dropping
// them, and the exit handler unregisters them. (The resource macros declare
// functions of the global namespace, so they are called from there.)
static void registerWizardImages()
{
    Q_INIT_RESOURCE(imapwizard);
}

static void unregisterWizardImages()
{
    Q_CLEANUP_RESOURCE(imapwizard);
}

namespace {
struct WizardImages {
    WizardImages() { registerWizardImages(); }
    ~WizardImages() { unregisterWizardImages(); }
} wizardImages;
} // namespace

namespace tavir::gui {

MigWizard::MigWizard(QWidget* parent, const QString& name, EngineEntries engine)
    : QWizard(parent)
    , wizardName(name)
    , engineEntries(std::move(engine))
{
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    // The modern look shows the logo in the page header and the watermark
    // beside the first and last page; the background is painted below.
    setWizardStyle(QWizard::ModernStyle);
    setOption(QWizard::NoCancelButton);
    setOption(QWizard::NoBackButtonOnLastPage);
    setOption(QWizard::NoBackButtonOnStartPage);
    setOption(QWizard::IndependentPages);
    setOption(QWizard::HaveCustomButton1);
    button(QWizard::CustomButton1)->hide();
    setButtonText(QWizard::CustomButton1, tr("Stop"));
    setPixmap(QWizard::LogoPixmap, QPixmap(":/images/logo.png"));
    setWindowTitle(name);
}

MigWizard::~MigWizard()
{
    // A page's engine call still under way must end before the engine goes;
    // the engine's own threads, which call back into the pages, end when the
    // engine is deleted, while the pages still exist.
    for (int id : pageIds()) {
        if (auto* migPage = qobject_cast<MigPage*>(page(id)))
            migPage->migrator()->wait();
    }
    MigThread::clearExecuter();
}

void MigWizard::initializeEngineExecuter()
{
    auto* executer = new MigExecuterImpl<migration::IMigrator>(engineEntries);
    // A failure leaves the engine null, which the executer reports as not
    // ready; the welcome page then ends the program.
    engineEntries.createMigrator(&executer->engine);
    MigThread::setExecuter(executer);
}

int MigWizard::canBeClosed()
{
    auto* options = dynamic_cast<MigOptionPage*>(page(OptionPageId));
    if (options && options->actionIsRunning()) {
        if (options->testStateValue() != MigOptionPage::TestStopRequested)
            options->slotStopTesting();
        return KeepOpen;
    }
    auto* progress = dynamic_cast<MigProgressPage*>(page(ProgressPageId));
    if (progress && progress->stateValue() == MigProgressPage::Running) {
        progress->slotStop();
        return KeepOpen;
    }
    if (currentId() == ResultPageId)
        return CloseAtOnce;
    if (progress && progress->stateValue() == MigProgressPage::Aborted)
        return CloseAtOnce;
    auto* intro = dynamic_cast<MigIntroPage*>(page(IntroPageId));
    if (intro && intro->isClosing())
        return CloseAtOnce;
    auto* current = dynamic_cast<MigPage*>(currentPage());
    if (current && current->actionIsRunning())
        return KeepOpen;
    return AskUser;
}

void MigWizard::closeEvent(QCloseEvent* event)
{
    switch (canBeClosed()) {
    case AskUser: {
        const auto answer = QMessageBox::question(this, wizardName,
            tr("Do you really want to quit this application before the migration is finished?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer == QMessageBox::No)
            event->ignore();
        else
            event->accept();
        break;
    }
    case KeepOpen:
        event->ignore();
        break;
    default:
        event->accept();
    }
}

void MigWizard::keyPressEvent(QKeyEvent* event)
{
    // Escape would reject the dialog: the wizard closes only through the
    // close rules.
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

void MigWizard::paintEvent(QPaintEvent* event)
{
    QWizard::paintEvent(event);
    const QPixmap background = pixmap(QWizard::BackgroundPixmap);
    if (background.isNull())
        return;
    // Stretched over the whole window: the picture is a soft gradient, and
    // the window is somewhat wider than it on this platform's fonts.
    QPainter painter(this);
    painter.drawPixmap(rect(), background);
}

} // namespace tavir::gui
