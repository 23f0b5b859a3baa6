#pragma once
// The accounts page of this wizard: the account list with the accounts
// file's Load button and an example of the file's lines.
#include "Common/Gui/MigOptionPage.h"

class QPushButton;

namespace tavir::gui {

class OptionPage : public MigOptionPage {
    Q_OBJECT

public:
    explicit OptionPage(int nextId);

    void initializePage() override;

    // The sample lines of the example dialog.
    static const char* const exampleText;
    // The file dialog's filter that shows every file, chosen when it opens.
    static const char* const anyFileFilter;

public slots:
    void slotLoad();
    void slotExampleClicked();

protected:
    void setControlsEnabled(bool enable) override;

private:
    QPushButton* loadButton;
};

} // namespace tavir::gui
