#pragma once
// The welcome page: its Next checks that the engine started, and ends the
// program with a message when it did not.
#include "Common/Gui/MigPage.h"

namespace tavir::gui {

class MigIntroPage : public MigPage {
    Q_OBJECT

public:
    MigIntroPage(int nextId, const QString& title, const QString& text);

    // Set once the page has decided to close the application.
    bool isClosing() const { return closing; }

protected:
    bool startValidation() override;
    bool getValidationResult() override;

private:
    bool closing = false;
};

} // namespace tavir::gui
