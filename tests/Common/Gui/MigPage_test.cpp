// The page base: the action chain on entry, the return to a visited page,
// a failed action, and the warning row of the result page.
#include "Common/Gui/MigPage.h"
#include "Common/Gui/MigThread.h"
#include "Common/Gui/MigWizard.h"
#include "support/GuiTest.h"
#include "support/ScriptedEngine.h"

#include <QAbstractButton>
#include <QLabel>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace tavir::test {
namespace {

using gui::MigWizard;

// A page whose action hooks the test writes; it counts the actions started.
class HookPage : public gui::MigPage {
public:
    HookPage(int nextId, bool commitsPrevious)
        : MigPage(nextId, commitsPrevious)
    {
        (new QVBoxLayout(this))->addLayout(statusRow);
    }

    std::function<bool(unsigned)> start = [](unsigned) { return false; };
    std::function<bool(unsigned)> result = [](unsigned) { return true; };
    std::vector<unsigned> started;

    bool restart(unsigned n) { return startActionManual(n); }

protected:
    bool startAction(unsigned n) override
    {
        started.push_back(n);
        return start(n);
    }
    bool getActionResult(unsigned n) override { return result(n); }
};

class PageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        guiApplication();
        wizard = std::make_unique<MigWizard>(nullptr, "Tavir Zorp", engine.entries());
        wizard->initializeEngineExecuter();
        for (int id = 0; id < 6; ++id) {
            pages[id] = new HookPage(id == 5 ? -1 : id + 1, false);
            wizard->setPage(id, pages[id]);
        }
    }
    void TearDown() override { wizard.reset(); }

    void next() { click(wizard->button(QWizard::NextButton)); }
    QLabel* label(int id, const char* name) { return pages[id]->findChild<QLabel*>(name); }

    ScriptedEngine engine;
    std::unique_ptr<MigWizard> wizard;
    HookPage* pages[6] = {};
};

TEST_F(PageTest, PageWithDefaultHooksCompletesOnEntry)
{
    wizard->show();
    EXPECT_EQ(pages[0]->started, (std::vector<unsigned>{0, 1}));
    EXPECT_TRUE(pages[0]->isComplete());
    EXPECT_FALSE(pages[0]->actionIsRunning());
    EXPECT_TRUE(wizard->button(QWizard::NextButton)->isEnabled());
    EXPECT_FALSE(wizard->button(QWizard::BackButton)->isVisible());
    EXPECT_FALSE(wizard->button(QWizard::CancelButton)->isVisible());
    EXPECT_FALSE(wizard->button(QWizard::CustomButton1)->isVisible());
}

TEST_F(PageTest, GoingBackAndForthRunsNoChainAgain)
{
    wizard->show();
    next();
    ASSERT_EQ(wizard->currentId(), 1);
    click(wizard->button(QWizard::BackButton));
    ASSERT_EQ(wizard->currentId(), 0);
    next();
    ASSERT_EQ(wizard->currentId(), 1);
    EXPECT_EQ(pages[1]->started, (std::vector<unsigned>{0, 1}));
    EXPECT_TRUE(pages[1]->isComplete());
}

TEST_F(PageTest, FailedActionShowsTheWarningAndStillCompletes)
{
    pages[0]->start = [](unsigned n) { return n == 0; };
    pages[0]->result = [this](unsigned n) {
        pages[0]->setWarningText("Action failed.");
        return n != 0;
    };
    wizard->show();
    // Action 0 waits for the thread; end it as the thread would.
    gui::MigThread* thread = pages[0]->migrator();
    thread->initialize();
    ASSERT_TRUE(waitFor([&] { return !pages[0]->actionIsRunning(); }));
    EXPECT_EQ(pages[0]->started, (std::vector<unsigned>{0}));
    EXPECT_FALSE(label(0, "warningLabel")->isHidden());
    EXPECT_EQ(label(0, "warningLabel")->text(), "Action failed.");
    EXPECT_TRUE(pages[0]->isComplete()) << "the base blocks nothing after a failure";
}

TEST_F(PageTest, ManualRestartOnAFreshPageStartsFromTheFirstAction)
{
    wizard->show();
    pages[0]->started.clear();
    pages[1]->restart(3);
    EXPECT_EQ(pages[1]->started, (std::vector<unsigned>{0}));
    pages[0]->restart(3);
    EXPECT_EQ(pages[0]->started, (std::vector<unsigned>{3}));
}

TEST_F(PageTest, ResultWarningFollowsItsText)
{
    wizard->show();
    QLabel* warning = label(5, "warningLabel");
    QLabel* icon = label(5, "warningIcon");
    pages[0]->setResultErrorText("The migration has been aborted.");
    EXPECT_FALSE(warning->isHidden());
    EXPECT_FALSE(icon->isHidden());
    EXPECT_EQ(warning->text(), "The migration has been aborted.");
    pages[0]->setResultErrorText("");
    EXPECT_TRUE(warning->isHidden());
    EXPECT_TRUE(icon->isHidden());
}

TEST_F(PageTest, EscapeNeitherClosesNorCancels)
{
    wizard->show();
    for (int id : {0, 1}) {
        SCOPED_TRACE(id);
        if (id == 1)
            next();
        QTest::keyClick(wizard.get(), Qt::Key_Escape);
        settle(20);
        EXPECT_TRUE(wizard->isVisible());
        EXPECT_EQ(wizard->currentId(), id);
    }
}

} // namespace
} // namespace tavir::test
