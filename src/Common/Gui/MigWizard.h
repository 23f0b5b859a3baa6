#pragma once
// The wizard frame: window options, the custom Stop button, the rules for
// closing the window, and the creation of the engine executer.
#include "Common/Gui/EngineEntries.h"

#include <QWizard>

namespace tavir::gui {

class MigWizard : public QWizard {
    Q_OBJECT

public:
    enum PageId { IntroPageId = 0, ServerPageId, CvnPageId, OptionPageId, ProgressPageId, ResultPageId };
    enum CloseVerdict { CloseAtOnce = 0, KeepOpen = 1, AskUser = 2 };

    // engine: the engine's entry functions, used by initializeEngineExecuter.
    MigWizard(QWidget* parent, const QString& name, EngineEntries engine);
    ~MigWizard() override;

    const QString& name() const { return wizardName; }

    virtual void initializeEngineExecuter();
    virtual int canBeClosed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString wizardName;
    EngineEntries engineEntries;
};

} // namespace tavir::gui
