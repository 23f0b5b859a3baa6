#pragma once
// The source-server page base: the host and SSL inputs, and the source test
// behind Next. The concrete page builds the layout and words the warnings.
#include "Common/Gui/MigPage.h"

class QCheckBox;
class QLineEdit;

namespace tavir::gui {

class MigServerPage : public MigPage {
    Q_OBJECT

public:
    explicit MigServerPage(int nextId);
    bool isComplete() const override;

protected:
    bool startValidation() override;
    // Re-enables the inputs; true when the source answered (code 0).
    bool getValidationResult() override;

    QLineEdit* hostEdit;
    QCheckBox* sslCheck;
};

} // namespace tavir::gui
