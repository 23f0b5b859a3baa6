#pragma once
// The target administrator page: host, administrator and password, and the
// administration login test behind Next.
#include "Common/Gui/MigPage.h"

class QCheckBox;
class QLineEdit;

namespace tavir::gui {

class MigCVNPage : public MigPage {
    Q_OBJECT

public:
    explicit MigCVNPage(int nextId);
    bool isComplete() const override;

protected:
    bool startValidation() override;
    bool getValidationResult() override;

private:
    void setEditsEnabled(bool enable);

    QLineEdit* hostEdit;
    QLineEdit* userEdit;
    QLineEdit* passwordEdit;
    QCheckBox* sslCheck;
};

} // namespace tavir::gui
