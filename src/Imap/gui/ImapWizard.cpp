// The IMAP wizard and its pages.
#include "Imap/gui/ImapWizard.h"

#include "Common/Gui/MigCVNPage.h"
#include "Common/Gui/MigIntroPage.h"
#include "Common/Gui/MigProgressPage.h"
#include "Common/Gui/MigResultPage.h"
#include "Imap/gui/ConnectImapPage.h"
#include "Imap/gui/OptionPage.h"

#include <utility>

namespace tavir::gui {

ImapWizard::ImapWizard(QWidget* parent, EngineEntries engine)
    : MigWizard(parent, tr("Tavir Zorp"), std::move(engine))
{
    setPixmap(QWizard::BackgroundPixmap, QPixmap(":/images/mac_background.png"));
    setPage(IntroPageId, new MigIntroPage(ServerPageId, tr("Welcome to Tavir Zorp"),
        tr("This wizard will help you migrate your data from IMAP server to Corvane")));
    setPage(ServerPageId, new ConnectImapPage(CvnPageId));
    setPage(CvnPageId, new MigCVNPage(OptionPageId));
    setPage(OptionPageId, new OptionPage(ProgressPageId));
    setPage(ProgressPageId, new MigProgressPage(ResultPageId));
    setPage(ResultPageId, new MigResultPage(-1));
    setStartId(IntroPageId);
}

} // namespace tavir::gui
