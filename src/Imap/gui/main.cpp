// The program's entry: application, Qt's own translation, wizard, engine.
#include "Common/Gui/MigAssist.h"
#include "Common/Gui/WizardTermination.h"
#include "Imap/gui/ImapWizard.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char** argv)
{
    tavir::gui::MigAssist assist("QBX", "zorp", "4.6.31-R3-7184", "zorp.dmp");
    QApplication application(argc, argv);
    // Lets the desktop match the window with the installed zorp.desktop.
    QGuiApplication::setDesktopFileName("zorp");
    // The icon of every window, the message boxes' too, where the window
    // manager takes it from the window rather than from the desktop entry.
    QIcon icon;
    for (const char* size : {"16", "32", "48"})
        icon.addFile(QString(":/images/iconapp%1.png").arg(size));
    QApplication::setWindowIcon(icon);
    auto* translator = new QTranslator(&application);
    if (translator->load("qt_" + QLocale::system().name(), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);

    tavir::gui::ImapWizard wizard(nullptr);
    wizard.initializeEngineExecuter();
    // SIGTERM, SIGINT and SIGHUP stop a migration in progress and let it put
    // the target back before the program ends (128 + the signal's number).
    tavir::gui::WizardTermination termination(wizard);
    wizard.setVisible(true);
    return application.exec();
}
