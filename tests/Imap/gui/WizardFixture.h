#pragma once
// The IMAP wizard over the scripted engine, shown on the offscreen platform,
// with the steps a user takes to reach each page.
#include "Common/Gui/MigThread.h"
#include "Common/Gui/OptionPageItem.h"
#include "Imap/gui/ImapWizard.h"
#include "support/GuiTest.h"
#include "support/ScriptedEngine.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>

namespace tavir::test {

// Whether the status column of the accounts page's `item` shows the image
// `file`.
inline bool showsImage(QTreeWidgetItem* item, const char* file)
{
    const QSize size(16, 16);
    return item->icon(gui::StatusColumn)
               .pixmap(size)
               .toImage()
               .convertToFormat(QImage::Format_ARGB32)
        == QIcon(file).pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
}

class WizardFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        guiApplication();
        // Nothing is opened for real; "false" stands for a desktop that
        // cannot show the file.
        gui::MigThread::setViewer("false");
        // The file dialog opens in the working folder when no folder was
        // remembered: the folder of the test's files.
        QDir::setCurrent(QString::fromStdString(files.path()));
        wizard = std::make_unique<gui::ImapWizard>(nullptr, engine.entries());
        wizard->initializeEngineExecuter();
        wizard->show();
        ASSERT_NE(engine.migrator, nullptr);
    }

    void TearDown() override
    {
        engine.testGate.open();
        if (engine.migrator)
            engine.migrator->loadGate.open();
        wizard.reset();
    }

    gui::ImapWizard& w() { return *wizard; }
    ScriptedMigrator& migrator() { return *engine.migrator; }
    QWizardPage* page(int id) { return wizard->page(id); }
    template <class T>
    T* child(int pageId, const char* name)
    {
        return wizard->page(pageId)->findChild<T*>(name);
    }
    QAbstractButton* nextButton() { return wizard->button(QWizard::NextButton); }
    bool nextEnabled() { return nextButton()->isVisible() && nextButton()->isEnabled(); }
    void clickNext() { click(nextButton()); }
    bool reaches(int id) { return waitFor([&] { return wizard->currentId() == id; }); }
    QString warning(int pageId)
    {
        auto* label = child<QLabel>(pageId, "warningLabel");
        return label->isHidden() ? QString() : label->text();
    }
    void type(QLineEdit* edit, const QString& text)
    {
        edit->clear();
        QTest::keyClicks(edit, text);
    }

    void toServerPage()
    {
        clickNext();
        ASSERT_TRUE(reaches(gui::MigWizard::ServerPageId));
    }
    void toCvnPage(const QString& host = "source.example")
    {
        toServerPage();
        type(child<QLineEdit>(gui::MigWizard::ServerPageId, "hostEdit"), host);
        clickNext();
        ASSERT_TRUE(reaches(gui::MigWizard::CvnPageId));
    }
    void toOptionPage()
    {
        toCvnPage();
        type(child<QLineEdit>(gui::MigWizard::CvnPageId, "hostEdit"), "target.example");
        type(child<QLineEdit>(gui::MigWizard::CvnPageId, "userEdit"), "admin");
        type(child<QLineEdit>(gui::MigWizard::CvnPageId, "passwordEdit"), "pw");
        clickNext();
        ASSERT_TRUE(reaches(gui::MigWizard::OptionPageId));
    }

    // Chooses `path` in the accounts file dialog, as a user types it.
    void load(const std::string& path)
    {
        OnModal chooser([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            // Typing would open the name completer, which takes the Return
            // key; the path is put in whole and the dialog's Open clicked.
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(path));
            dialogFolder = dialog->directory().absolutePath();
            click(dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open));
            if (dialog->isVisible()) {
                ADD_FAILURE() << "the file dialog did not accept " << path;
                dialog->reject(); // a dialog left open would hold the test for ever
            }
        });
        click(child<QAbstractButton>(gui::MigWizard::OptionPageId, "loadButton"));
        ASSERT_EQ(chooser.seen(), 1);
    }

    std::string accountsFile()
    {
        const std::string path = files.file("accounts.csv");
        writeFile(path, "user1@example.com;password1;User 1\n");
        return path;
    }

    // Loads the accounts file and waits for the credential test to start.
    void loadAndStartTest(const std::vector<migration::UserInfoData>& accounts)
    {
        migrator().accounts = accounts;
        migrator().testCallbacks = nullptr;
        load(accountsFile());
        ASSERT_TRUE(waitFor([&] { return migrator().testCallbacks != nullptr; }));
    }

    QTreeWidget* accountList() { return child<QTreeWidget>(gui::MigWizard::OptionPageId, "accountList"); }

    // Plays a finished test in which every account logs in, then waits
    // for the page to take it in.
    void finishTest(std::size_t count)
    {
        migrator().playTest(std::vector<migration::TestStatus>(count, migration::TestLoginAccepted));
        ASSERT_TRUE(waitFor([&] { return !w().page(gui::MigWizard::OptionPageId)->findChild<QAbstractButton*>(
                                              "abortButton")->isVisible(); }));
    }

    ScriptedEngine engine;
    TempDir files;
    // The folder the file dialog showed when the file was chosen.
    QString dialogFolder;
    std::unique_ptr<gui::ImapWizard> wizard;
};

} // namespace tavir::test
